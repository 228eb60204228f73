#include "io/text_window.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "encoding/detect.h"

namespace tidewrack {

namespace {

// Input bytes read and decoded at a time.
constexpr std::size_t RAW_BLOCK = std::size_t{1} << 20;
// Room kept before the text read ahead, for the text still held then (mostly
// less than a record), as a share of the text read ahead.
constexpr std::size_t AHEAD_HEADROOM_SHARE = 32;

} // namespace

Result<TextWindow> TextWindow::open(const InputSource &source,
                                    const std::optional<InputEncoding> &encoding, StopPoll stop) {
  Result<InputFile> opened = InputFile::open(source, stop);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  TextWindow window(std::move(opened.value()));
  if (encoding) {
    // The detection reads a head of the same length whatever the block size.
    window.raw_.resize(DETECTION_HEAD);
    Result<std::size_t> got = window.file_->read_fully(window.raw_.data(), DETECTION_HEAD);
    if (!got.ok()) {
      return std::move(got.error());
    }
    window.raw_.resize(got.value());
    window.raw_ended_ = got.value() < DETECTION_HEAD;
    const Detection detection = resolve_encoding(*encoding, window.raw_);
    window.raw_.erase(0, detection.bom_length);
    window.encoding_ = detection.encoding;
    window.decoder_.emplace(detection.encoding);
  }
  return window;
}

TextWindow TextWindow::over(std::string_view bytes) {
  TextWindow window(std::nullopt);
  window.held_.memory = std::make_shared<Memory>();
  window.held_.memory->bytes = const_cast<char *>(bytes.data()); // NOLINT: only read, see Memory
  window.held_.memory->borrowed = true;
  window.held_.capacity = window.held_.end = bytes.size();
  window.held_.ended = true;
  return window;
}

Result<std::monostate> TextWindow::read_until(std::size_t count) {
  if (reading_ahead_) {
    take_ahead();
  }
  if (ahead_failure_) {
    SalvageError failure = std::move(*ahead_failure_);
    ahead_failure_.reset();
    return failure;
  }
  return decoder_ ? read_decoded(count) : read_bytes(count);
}

void TextWindow::read_ahead(std::size_t count) {
  const std::size_t headroom = count / AHEAD_HEADROOM_SHARE;
  if (held_.ended || reading_ahead_ || count > SIZE_MAX - 2 * headroom) {
    return;
  }
  // As much room again after the text, for text that a decoding makes longer
  // than its bytes: growing would move the text to the front, room lost.
  const std::size_t capacity = headroom + count + headroom;
  if (ahead_.capacity < capacity || ahead_.shared()) {
    ahead_.memory.reset();
    ahead_.capacity = 0;
    ahead_.grow(capacity);
  }
  ahead_.begin = ahead_.end = headroom;
  ahead_.ended = false;
  reading_ahead_ = true;
  // The reads go to the buffer held: read into the other one meanwhile.
  struct Swapped {
    TextWindow &window;
    explicit Swapped(TextWindow &to_swap) : window(to_swap) {
      std::swap(window.held_, window.ahead_);
    }
    ~Swapped() { std::swap(window.held_, window.ahead_); }
    Swapped(const Swapped &) = delete;
    Swapped &operator=(const Swapped &) = delete;
  };
  Result<std::monostate> read = std::monostate{};
  {
    const Swapped swapped(*this);
    read = decoder_ ? read_decoded(count) : read_bytes(count);
  }
  if (!read.ok()) {
    ahead_failure_ = std::move(read.error());
  }
}

void TextWindow::take_ahead() {
  reading_ahead_ = false;
  const std::size_t held = held_.size();
  if (held <= ahead_.begin) {
    // The text held moves before the text read ahead, whose buffer it becomes.
    std::memcpy(ahead_.data() + ahead_.begin - held, held_.data() + held_.begin, held);
    ahead_.begin -= held;
    std::swap(held_, ahead_);
  } else {
    std::memcpy(held_.make_room(ahead_.size()), ahead_.data() + ahead_.begin, ahead_.size());
    held_.end += ahead_.size();
    held_.ended = ahead_.ended;
  }
  ahead_.begin = ahead_.end = 0;
  ahead_.ended = false;
}

std::string_view TextWindow::encoding_name() const {
  if (!decoder_) {
    return {};
  }
  // Auto logs nothing but bytes read as cp1252.
  return encoding_ == Encoding::Utf8Auto && changed_ ? "utf-8+cp1252"
                                                     : tidewrack::encoding_name(encoding_);
}

char *TextWindow::Buffer::make_room(std::size_t count) {
  if (capacity - end < count && shared()) {
    grow(size() + count); // as big as the text needs, not as the shared memory
  } else if (capacity - end < count && begin > 0) {
    std::memmove(data(), data() + begin, end - begin);
    end -= begin;
    begin = 0;
  }
  if (capacity - end < count) {
    // By a quarter at least: a long record costs little more than its size.
    grow(std::max(capacity + capacity / 4, end + count));
  }
  return data() + end;
}

void TextWindow::Buffer::grow(std::size_t grown) {
  if (shared()) {
    auto own = std::make_shared<Memory>();
    own->bytes = static_cast<char *>(std::malloc(grown)); // left unfilled
    if (own->bytes == nullptr) {
      throw std::bad_alloc();
    }
    std::memcpy(own->bytes, data() + begin, size());
    end = size();
    begin = 0;
    memory = std::move(own);
    capacity = grown;
    return;
  }
  if (!memory) {
    memory = std::make_shared<Memory>();
  }
  // Large blocks are remapped, not copied: the text is not held twice meanwhile.
  void *moved = std::realloc(memory->bytes, grown); // left unfilled
  if (moved == nullptr) {
    throw std::bad_alloc();
  }
  memory->bytes = static_cast<char *>(moved);
  capacity = grown;
}

Result<std::monostate> TextWindow::read_bytes(std::size_t count) {
  while (!held_.ended && held_.size() < count) {
    // The rest of a file of known size comes in one read when all is wanted.
    const std::uint64_t rest = file_->expected_size() > file_->bytes_read()
                                   ? file_->expected_size() - file_->bytes_read() + 1
                                   : 0;
    const std::size_t wanted =
        std::min<std::size_t>(count - held_.size(), std::max<std::uint64_t>(rest, RAW_BLOCK));
    Result<std::size_t> got = file_->read_fully(held_.make_room(wanted), wanted);
    if (!got.ok()) {
      return std::move(got.error());
    }
    held_.end += got.value();
    held_.ended = got.value() < wanted;
  }
  return std::monostate{};
}

Result<std::monostate> TextWindow::read_decoded(std::size_t count) {
  while (!held_.ended && held_.size() < count) {
    const std::size_t wanted = std::clamp<std::size_t>(count - held_.size(), 1, RAW_BLOCK);
    // The bytes read ahead for the detection go first; the rest is read into
    // the room after the text, where it stays when it passes through unchanged.
    std::string_view piece;
    bool in_place = false;
    if (raw_used_ < raw_.size() || raw_ended_) {
      piece = std::string_view(raw_).substr(raw_used_, wanted);
      raw_used_ += piece.size();
    } else {
      char *room = held_.make_room(wanted);
      Result<std::size_t> got = file_->read_fully(room, wanted);
      if (!got.ok()) {
        return std::move(got.error());
      }
      piece = std::string_view(room, got.value());
      raw_ended_ = got.value() < wanted;
      in_place = true;
    }
    const bool last = raw_ended_ && raw_used_ == raw_.size();
    decoded_.clear();
    if (decoder_->decode(piece, last, decoded_)) {
      if (!in_place && !piece.empty()) {
        std::memcpy(held_.make_room(piece.size()), piece.data(), piece.size());
      }
      held_.end += piece.size();
    } else if (!decoded_.empty()) {
      // What was read in place is decoded already: the text overwrites it.
      std::memcpy(held_.make_room(decoded_.size()), decoded_.data(), decoded_.size());
      held_.end += decoded_.size();
    }
    held_.ended = last;
    changed_ = changed_ || !decoder_->changes().pending().empty();
  }
  return std::monostate{};
}

} // namespace tidewrack
