#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/parse_rules.h"

// A deliberately plain transcription of the parser's rules, one byte at a time
// with the look-ahead rescanned for every quote. The real parser must agree
// with it on every input.
namespace naive {

struct Row {
  std::vector<std::string> fields;
  std::uint64_t end_line = 0;
  std::uint64_t start_line = 0;
  std::size_t begin = 0; // the record's bytes [begin, end), line break included
  std::size_t end = 0;
  std::uint64_t stray_quotes = 0;
  std::vector<std::uint64_t> unclosed_quote_lines;
  int kind = 0; // 0 a record, 1 a comment line, 2 a preamble line (no fields)
  bool operator==(const Row &) const = default;
};

// Unclosed-quote recovery for records of `columns` fields (0: off), with the
// window limits in lines and bytes.
struct Recovery {
  std::uint64_t columns = 0;
  std::uint64_t lines = 0;
  std::uint64_t bytes = 0;
};

std::vector<Row> parse(std::string_view data, std::uint8_t delimiter, std::uint8_t quote,
                       bool repair_quotes, Recovery recovery = {},
                       const tidewrack::ParseRules &rules = {});

// UTF-8 decoding with each maximal ill-formed subpart replaced by U+FFFD,
// worked out from code point ranges rather than byte tables.
std::string sanitize(std::string_view bytes);

} // namespace naive
