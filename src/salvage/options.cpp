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

} // namespace tidewrack
