#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tidewrack {

// Unique column names from a header row, named the way DataFrame users
// expect: a blank name becomes "Unnamed: <index>", and a name taken already
// gets the first free ".1", ".2", ... suffix. A NUL becomes U+FFFD: names
// are exported as C strings.
std::vector<std::string> unique_column_names(const std::vector<std::string_view> &header);

} // namespace tidewrack
