#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/stop_poll.h"
#include "encoding/decoder.h"
#include "encoding/encoding.h"
#include "io/file_io.h"
#include "parser/parser_input.h"

namespace tidewrack {

// The text of an input file as a file salvage reads it, a block at a time: the
// bytes as read, or the UTF-8 text a decoder makes of them when an encoding is
// given. Only the text not consumed yet is held, so memory follows the reads
// asked for, not the file size.
class TextWindow {
public:
  static Result<TextWindow> open(const InputSource &source,
                                 const std::optional<InputEncoding> &encoding, StopPoll stop = {});
  // A window over bytes in memory, read to their end at once: it borrows
  // them, which must outlive it, and reads or copies nothing.
  static TextWindow over(std::string_view bytes);

  // Reads on until at least `count` bytes of text are held or the input ends;
  // the text read ahead comes first, and a failure met reading it now.
  Result<std::monostate> read_until(std::size_t count);
  // Reads the next `count` bytes of text (or to the end of the input) aside,
  // into memory of their own: text() and the memory it lies in stay as they
  // are, so another thread may go on reading them meanwhile. The decoding's
  // changes are logged at once. A failure waits for the next read_until.
  // Nothing is read once the input is read to its end.
  void read_ahead(std::size_t count);

  // The text held: what is read and not consumed.
  std::string_view text() const { return {held_.data() + held_.begin, held_.size()}; }
  // Keeps the memory text() lies in: while it is kept, the text read so far
  // stays where it is, and the window reads on into memory of its own once it
  // needs more room than is left after the text.
  std::shared_ptr<const void> share() const { return held_.memory; }
  // The offset of text() in the whole text.
  std::uint64_t offset() const { return consumed_; }
  // Drops the first `count` bytes of text().
  void consume(std::size_t count) {
    held_.begin += count;
    consumed_ += count;
  }
  // The input is read to its end: text() holds all that is left.
  bool ended() const { return held_.ended; }

  // The input held no byte at all.
  bool input_empty() const { return held_.ended && bytes_read() == 0; }
  std::uint64_t bytes_read() const { return file_ ? file_->bytes_read() : held_.end; }

  ParserInput kind() const { return decoder_ ? ParserInput::DecodedText : ParserInput::Bytes; }
  // The decoding's changes by offset in the whole text; null without an encoding.
  ChangeLog *changes() { return decoder_ ? &decoder_->changes() : nullptr; }
  // The encoding read, once the input is read to its end: "utf-8",
  // "utf-8+cp1252" (auto read bytes that are not UTF-8 as cp1252), "cp1252",
  // "latin-1", "utf-16-le", "utf-16-be", "utf-32-le" or "utf-32-be". Static
  // text; empty without an encoding.
  std::string_view encoding_name() const;

private:
  explicit TextWindow(std::optional<InputFile> file) : file_(std::move(file)) {}

  // Text in memory that is never zero-filled: only bytes read or decoded into it count.
  struct Memory {
    char *bytes = nullptr;
    bool borrowed = false; // bytes of the caller's, never written to: the window is read to its end
    Memory() = default;
    Memory(const Memory &) = delete;
    Memory &operator=(const Memory &) = delete;
    ~Memory() {
      if (!borrowed) {
        std::free(bytes);
      }
    }
  };
  struct Buffer {
    std::shared_ptr<Memory> memory; // shared with the keepers of share()
    std::size_t capacity = 0;
    std::size_t begin = 0; // the text is [begin, end)
    std::size_t end = 0;
    bool ended = false; // the input is read to the end of the text

    char *data() const { return memory ? memory->bytes : nullptr; }
    std::size_t size() const { return end - begin; }
    // Another keeps the memory; when none does, all it did with the memory
    // happened before the window's next write to it (the fence).
    bool shared() const {
      if (memory.use_count() > 1) {
        return true;
      }
      std::atomic_thread_fence(std::memory_order_acquire);
      return false;
    }
    // Room for `count` more bytes after the text.
    char *make_room(std::size_t count);
    // Grows the memory to `grown` bytes, in place where the allocator can;
    // shared memory is left as it is, the text moved to memory of its own.
    void grow(std::size_t grown);
  };

  // Takes the text read ahead after the text held.
  void take_ahead();
  Result<std::monostate> read_bytes(std::size_t count);
  Result<std::monostate> read_decoded(std::size_t count);

  std::optional<InputFile> file_; // none for bytes borrowed
  Buffer held_;                   // the reads go here
  // The text read ahead, after room for the text held to be put before it.
  // Once taken it becomes the buffer held, and the one before the next to read
  // ahead into: the same two blocks of memory serve the whole input.
  Buffer ahead_;
  bool reading_ahead_ = false; // ahead_ holds text to take
  std::optional<SalvageError> ahead_failure_;
  std::uint64_t consumed_ = 0;

  // With an encoding: the head read ahead to detect the encoding, decoded
  // first; the bytes after it are read straight into the buffer.
  std::optional<Decoder> decoder_;
  Encoding encoding_ = Encoding::Utf8;
  std::string raw_;
  std::size_t raw_used_ = 0; // bytes of raw_ decoded
  bool raw_ended_ = false;   // the file is read to its end
  std::string decoded_;      // a block's text where it differs from its bytes
  bool changed_ = false;     // the decoder changed something
};

// How much more text to read when a record runs on past the `held` bytes a
// window holds: as much again while that is little, so that reading a long
// record again from its start each time costs time linear in its length; past
// that, an eighth of it and READ_ON_STEP more, so that a record that ends
// soon after is held with little more than itself, not up to as much again.
inline constexpr std::size_t READ_ON_STEP = std::size_t{96} << 20;
inline std::size_t read_on_size(std::size_t held) {
  return std::min(held, held / 8 + READ_ON_STEP);
}

} // namespace tidewrack
