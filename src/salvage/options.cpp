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
  if (const std::optional<std::uint8_t> escape = options.rules.escape) {
    if (line_break(*escape) || escape == options.delimiter ||
        (options.rules.quoting && *escape == options.quote_char)) {
      return "escape_char must differ from the delimiter, quote_char and line breaks";
    }
    if (options.encoding && *escape >= 0x80) {
      return "escape_char must be an ASCII character when an encoding is given";
    }
  }
  if (options.rules.comment_prefix.find_first_of("\r\n") != std::string::npos) {
    return "comment_prefix must not hold a line break";
  }
  if (options.output_quote_char &&
      (line_break(*options.output_quote_char) || options.output_quote_char == options.delimiter)) {
    return "the clean file's quote character must differ from the delimiter and line breaks";
  }
  return {};
}

} // namespace tidewrack
