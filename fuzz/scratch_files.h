#pragma once

// Files the file-salvage fuzzers write and read back.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace fuzz {

// One scratch directory per process, removed at exit.
inline const std::filesystem::path &scratch() {
  static const std::filesystem::path dir = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tidewrack-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    std::atexit([] { std::filesystem::remove_all(scratch()); });
    return std::filesystem::path(pattern);
  }();
  return dir;
}

inline std::string read_file(const std::filesystem::path &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

} // namespace fuzz
