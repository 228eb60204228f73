#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tidewrack {

// A growable array of trivially copyable items that grows in place where the
// allocator can (large blocks are remapped, not copied): a record of millions
// of fields then costs no copies of its field list.
template <class Item> class GrowableArray {
public:
  GrowableArray() = default;
  GrowableArray(const GrowableArray &other) { *this = other; }
  GrowableArray(GrowableArray &&other) noexcept
      : items_(other.items_), size_(other.size_), capacity_(other.capacity_) {
    other.items_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  GrowableArray &operator=(const GrowableArray &other) {
    if (this != &other) {
      size_ = 0;
      reserve(other.size_);
      if (other.size_ > 0) {
        std::memcpy(items_, other.items_, other.size_ * sizeof(Item));
      }
      size_ = other.size_;
    }
    return *this;
  }
  GrowableArray &operator=(GrowableArray &&other) noexcept {
    std::swap(items_, other.items_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~GrowableArray() { std::free(items_); }

  void push_back(const Item &item) {
    if (size_ == capacity_) {
      reserve(capacity_ < 16 ? 16 : capacity_ * 2);
    }
    items_[size_++] = item;
  }
  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) {
      return;
    }
    void *grown = std::realloc(items_, capacity * sizeof(Item));
    if (grown == nullptr) {
      throw std::bad_alloc();
    }
    items_ = static_cast<Item *>(grown);
    capacity_ = capacity;
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }
  const Item &operator[](std::size_t index) const { return items_[index]; }
  Item &operator[](std::size_t index) { return items_[index]; }

private:
  Item *items_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// One record: its fields, UTF-8 text, in order. A Record is meant to be reused
// from call to call so that its storage is allocated once per pass, not once
// per field.
//
// The parser yields fields as spans: a field that is a plain stretch of the
// input is not copied at all, and only fields that had to be put together
// (doubled quotes, text after a closing quote, invalid UTF-8 replaced) are
// written to `text`. A field stays valid until the record is cleared or
// refilled, and the input it was parsed from must outlive it.
struct Record {
  // A field: `size` bytes from `begin` of the input, or of `text` when it
  // carries IN_TEXT. Flag bits sit above any real size.
  struct Span {
    std::size_t begin;
    std::size_t size;
  };
  static constexpr std::size_t IN_TEXT = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
  // The field holds the delimiter, the quote character, CR or LF of its parser.
  static constexpr std::size_t SPECIAL = IN_TEXT >> 1;
  // Used by the parser while it cuts the record: a stretch of the input whose
  // UTF-8 is checked once the record is complete.
  static constexpr std::size_t UNCHECKED = SPECIAL >> 1;
  static constexpr std::size_t SIZE_BITS = UNCHECKED - 1;

  std::string text;
  GrowableArray<Span> spans;
  const char *input = nullptr;  // what spans without IN_TEXT point into
  bool specials_marked = false; // every span tells by SPECIAL whether it needs enclosing
  // Where a parsed record lies: its bytes [begin, end) in the input, line break
  // included, and the line counter when it began.
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint64_t start_line = 0;
  // The line on which the record ends: the line counter before the record's
  // terminating line break was stepped over.
  std::uint64_t end_line = 0;
  // Quotes that quote repair kept as text inside quoted fields.
  std::uint64_t stray_quotes = 0;
  // Some closing quote is followed by more than the delimiter or a line break:
  // blanks or text, which a strict reader refuses.
  bool text_after_quote = false;
  // The line of each opening quote that unclosed-quote recovery read as text.
  std::vector<std::uint64_t> unclosed_quote_lines;
  // A line the rules leave out of the table (a comment or a preamble line)
  // comes as a record of no fields.
  enum class Kind : std::uint8_t { Data, Comment, Preamble };
  Kind kind = Kind::Data;
  // A long record's fields before those held, handed on or dropped
  // (ResilientParser::batch_long_records).
  std::uint64_t fields_before = 0;

  // The fields held.
  std::size_t size() const { return spans.size(); }
  // The record's fields, held or not.
  std::uint64_t width() const { return fields_before + spans.size(); }
  std::string_view field(std::size_t index) const {
    const Span &span = spans[index];
    const char *base = (span.size & IN_TEXT) != 0 ? text.data() : input;
    return std::string_view(base + span.begin, span.size & SIZE_BITS);
  }
  // True when the field may hold the delimiter, the quote character, CR or LF
  // (always true unless the parser marked its spans).
  bool may_hold_special(std::size_t index) const {
    return !specials_marked || (spans[index].size & SPECIAL) != 0;
  }
  // At least the total size of the fields: a field is a stretch of the input
  // the record was read from, or lies in `text`.
  std::size_t field_bytes_bound() const { return end - begin + text.size(); }
  void clear() {
    text.clear();
    spans.clear();
    specials_marked = false;
    stray_quotes = 0;
    text_after_quote = false;
    unclosed_quote_lines.clear();
    kind = Kind::Data;
    fields_before = 0;
  }
};

} // namespace tidewrack
