#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A deliberately plain transcription of the parser's rules, one byte at a time
// with the look-ahead rescanned for every quote. The real parser must agree
// with it on every input.
namespace naive {

struct Row {
  std::vector<std::string> fields;
  std::uint64_t end_line;
  bool operator==(const Row &) const = default;
};

std::vector<Row> parse(std::string_view data, std::uint8_t delimiter, std::uint8_t quote,
                       bool repair_quotes);

// UTF-8 decoding with each maximal ill-formed subpart replaced by U+FFFD,
// worked out from code point ranges rather than byte tables.
std::string sanitize(std::string_view bytes);

} // namespace naive
