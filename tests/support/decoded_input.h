#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/stop_poll.h"
#include "encoding/change_log.h"
#include "encoding/encoding.h"

namespace test_support {

// A whole input read as UTF-8 text, with the changes the reading made.
class DecodedInput {
public:
  // Reads `input` in the encoding that resolve_encoding (detect.h) gives for
  // `encoding`, past the byte-order mark it finds. `input` is borrowed and
  // must outlive the result, whose text may be part of it. Fails with
  // Interrupted when `stop` says so.
  static tidewrack::Result<DecodedInput>
  decode(std::string_view input, tidewrack::InputEncoding encoding, tidewrack::StopPoll stop = {});

  // The UTF-8 text, without a byte-order mark: the input itself past its
  // mark when it was valid UTF-8 read as UTF-8, the common case; else a copy.
  std::string_view text() const { return passed_through_ ? input_ : storage_; }

  // The changes, by offset in text().
  tidewrack::ChangeLog &changes() { return changes_; }

  // The encoding read: "utf-8", "utf-8+cp1252" (auto read bytes that are not
  // UTF-8 as cp1252), "cp1252", "latin-1", "utf-16-le", "utf-16-be",
  // "utf-32-le" or "utf-32-be". Static text.
  std::string_view encoding_name() const { return name_; }

private:
  DecodedInput() = default;

  std::string_view input_; // past the mark
  bool passed_through_ = true;
  std::string storage_;
  tidewrack::ChangeLog changes_;
  std::string_view name_;
};

} // namespace test_support
