#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "parser/record.h"
#include "salvage/outcome.h"
#include "salvage/row_store.h"

namespace tidewrack {

// Renders clean rows: fields separated by the delimiter, enclosed in the quote
// character when they hold it, the delimiter, LF or CR, with quotes doubled.
class CleanRowRenderer {
public:
  CleanRowRenderer(std::uint8_t delimiter, std::uint8_t quote_char);

  // Appends the row's line, LF included, to `line`.
  void render(std::string &line, const Record &record, const RowShape &shape,
              std::string_view merge_separator);
  void render_field(std::string &line, std::string_view field) const;

private:
  bool needs_quotes(std::string_view field) const;
  void append_doubling_quotes(std::string &line, std::string_view field) const;

  std::string delimiter_;
  std::string quote_;
  bool single_bytes_;               // delimiter and quote are ASCII
  std::array<bool, 256> special_{}; // bytes that force quoting, when single_bytes_
  std::string merged_;              // scratch for a merged field
};

inline constexpr std::string_view QUARANTINE_HEADER = "line,reason,raw_content\n";

// Appends one quarantine line: line number, quoted reason, quoted raw content
// (the fields joined by the delimiter text), LF.
void render_quarantine_line(std::string &line, const QuarantineRecord &record,
                            std::string_view delimiter_text);

} // namespace tidewrack
