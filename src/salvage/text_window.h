#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/decoder.h"
#include "encoding/encoding.h"
#include "error/result.h"
#include "error/stop_poll.h"
#include "parser/parser_input.h"
#include "salvage/file_io.h"

namespace tidewrack {

// The text of an input file as a file salvage reads it, a block at a time: the
// bytes as read, or the UTF-8 text a decoder makes of them when an encoding is
// given. Only the text not consumed yet is held, so memory follows the reads
// asked for, not the file size.
class TextWindow {
public:
  static Result<TextWindow> open(const std::string &path,
                                 const std::optional<InputEncoding> &encoding, StopPoll stop = {});

  // Reads on until at least `count` bytes of text are held or the input ends.
  Result<std::monostate> read_until(std::size_t count);

  // The text held: what is read and not consumed.
  std::string_view text() const { return {buffer_.get() + begin_, end_ - begin_}; }
  // The offset of text() in the whole text.
  std::uint64_t offset() const { return consumed_; }
  // Drops the first `count` bytes of text().
  void consume(std::size_t count) {
    begin_ += count;
    consumed_ += count;
  }
  // The input is read to its end: text() holds all that is left.
  bool ended() const { return ended_; }

  // The input held no byte at all.
  bool input_empty() const { return ended_ && file_.bytes_read() == 0; }
  std::uint64_t bytes_read() const { return file_.bytes_read(); }

  ParserInput kind() const { return decoder_ ? ParserInput::DecodedText : ParserInput::Bytes; }
  // The decoding's changes by offset in the whole text; null without an encoding.
  ChangeLog *changes() { return decoder_ ? &decoder_->changes() : nullptr; }
  // The encoding read (DecodedInput::encoding_name), once the input is read to
  // its end; empty without an encoding.
  std::string_view encoding_name() const;

private:
  explicit TextWindow(InputFile file) : file_(std::move(file)) {}

  // Room for `count` more bytes after the text held.
  char *make_room(std::size_t count);
  Result<std::monostate> read_bytes(std::size_t count);
  Result<std::monostate> read_decoded(std::size_t count);

  InputFile file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0; // text() is [begin_, end_) of buffer_
  std::size_t end_ = 0;
  std::uint64_t consumed_ = 0;
  bool ended_ = false;

  // With an encoding: input bytes read but not decoded yet, the first of them
  // read ahead to detect the encoding.
  std::optional<Decoder> decoder_;
  Encoding encoding_ = Encoding::Utf8;
  std::string raw_;
  std::size_t raw_used_ = 0; // bytes of raw_ decoded
  bool raw_ended_ = false;   // the file is read to its end
  std::string decoded_;
  bool changed_ = false; // the decoder changed something
};

} // namespace tidewrack
