#include "arrow/column_names.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>
#include <unordered_set>

namespace tidewrack {

namespace {

// The code points Python's str.isspace() holds true for.
bool is_space(char32_t code_point) {
  constexpr char32_t SPACES[] = {0x09, 0x0A, 0x0B, 0x0C,   0x0D,   0x1C,   0x1D,   0x1E,   0x1F,
                                 0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  return (code_point >= 0x2000 && code_point <= 0x200A) ||
         std::find(std::begin(SPACES), std::end(SPACES), code_point) != std::end(SPACES);
}

// True when the UTF-8 text holds nothing but white space (or nothing).
bool blank(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (at + length > text.size()) {
      return false;
    }
    char32_t code_point = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t next = 1; next < length; ++next) {
      code_point = (code_point << 6) | (static_cast<unsigned char>(text[at + next]) & 0x3F);
    }
    if (!is_space(code_point)) {
      return false;
    }
    at += length;
  }
  return true;
}

// A name travels as a C string, which ends at its first NUL: each NUL becomes
// U+FFFD, as an undecodable byte does, and the name is made unique after that.
std::string without_nul(std::string_view text) {
  std::string name;
  name.reserve(text.size());
  for (const char byte : text) {
    if (byte == '\0') {
      name += "\xEF\xBF\xBD";
    } else {
      name.push_back(byte);
    }
  }
  return name;
}

} // namespace

std::vector<std::string> unique_column_names(const std::vector<std::string_view> &header) {
  std::vector<std::string> names;
  names.reserve(header.size()); // never moved: `taken` views them
  std::unordered_set<std::string_view> taken;
  // The last suffix each name took: the ones below it are taken for good, so a
  // header of one name repeated costs linear time, not quadratic.
  std::unordered_map<std::string, std::size_t> last_suffix;
  for (std::size_t index = 0; index < header.size(); ++index) {
    std::string name =
        blank(header[index]) ? "Unnamed: " + std::to_string(index) : without_nul(header[index]);
    if (taken.contains(name)) {
      std::size_t &suffix = last_suffix[name];
      const std::string base = std::move(name);
      do {
        name = base + "." + std::to_string(++suffix);
      } while (taken.contains(name));
    }
    names.push_back(std::move(name));
    taken.insert(names.back());
  }
  return names;
}

} // namespace tidewrack
