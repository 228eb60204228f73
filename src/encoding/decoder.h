#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "encoding/change_log.h"
#include "encoding/encoding.h"

namespace tidewrack {

// Turns input in one encoding into UTF-8, a block at a time, and logs where
// the text differs from what the input promised:
// - Utf8: valid UTF-8 passes; each maximal ill-formed subsequence becomes one
//   U+FFFD, as the parser replaces it (Replaced).
// - Utf8Auto: valid UTF-8 passes; every other byte is read as cp1252, so
//   nothing is lost (Decoded).
// - Cp1252, Latin1: every byte is read in the code page; cp1252 reads the five
//   bytes it leaves undefined as the Latin-1 control characters. The user
//   named the encoding, so nothing is logged.
// - Utf16*, Utf32*: surrogate pairs join; an unpaired surrogate, a value past
//   U+10FFFF and a cut unit at the end of the input become U+FFFD (Replaced).
// The caller skips the byte-order mark (detect.h) before the first block.
class Decoder {
public:
  explicit Decoder(Encoding encoding) : encoding_(encoding) {}

  // Appends the UTF-8 text of `block` to `out`. A character cut by the end of
  // the block waits for the next call, so every cut of the input into blocks
  // gives the same text and the same changes; `last` says that the block ends
  // the input, and no call may follow it. Returns true, appending nothing,
  // when the block passes through unchanged (UTF-8 read as UTF-8, valid, no
  // character cut at either end): the caller then reads `block` itself.
  bool decode(std::string_view block, bool last, std::string &out);

  // The changes so far; their offsets count every UTF-8 byte of the decoded
  // stream, the blocks that passed through included.
  ChangeLog &changes() { return changes_; }

private:
  bool reads_utf8() const { return encoding_ == Encoding::Utf8 || encoding_ == Encoding::Utf8Auto; }

  Encoding encoding_;
  std::uint64_t produced_ = 0;           // UTF-8 bytes of the decoded stream so far
  std::array<unsigned char, 3> carry_{}; // a character cut by the end of the last block
  std::size_t carried_ = 0;
  ChangeLog changes_;
};

} // namespace tidewrack
