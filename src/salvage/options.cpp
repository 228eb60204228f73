#include "salvage/options.h"

namespace tidewrack {

std::optional<std::uint8_t> delimiter_option(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(text.front());
}

std::uint8_t quote_char_option(std::string_view text) {
  return text.empty() ? std::uint8_t{'"'} : static_cast<std::uint8_t>(text.front());
}

std::string_view unreadable_options(const SalvageOptions &options) {
  auto line_break = [](std::uint8_t byte) { return byte == '\n' || byte == '\r'; };
  if (options.delimiter && line_break(*options.delimiter)) {
    return "delimiter must not be a line break";
  }
  if (line_break(options.quote_char)) {
    return "quote_char must not be a line break";
  }
  if (options.delimiter == options.quote_char) {
    return "delimiter and quote_char must differ";
  }
  if (options.encoding && options.delimiter && *options.delimiter >= 0x80) {
    return "delimiter must be an ASCII character when an encoding is given";
  }
  if (options.encoding && options.quote_char >= 0x80) {
    return "quote_char must be an ASCII character when an encoding is given";
  }
  return {};
}

} // namespace tidewrack
