#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "error/result.h"

namespace tidewrack {

// Reads a whole file; interrupted reads are repeated.
Result<std::string> read_whole_file(const std::string &path);

// A file opened for writing (created, truncated) behind an 8192-byte buffer.
class OutputFile {
public:
  static constexpr std::size_t BUFFER_SIZE = 8192;

  static Result<OutputFile> create(const std::string &path);
  OutputFile(OutputFile &&other) noexcept;
  OutputFile &operator=(OutputFile &&) = delete;
  ~OutputFile(); // closes without writing out the buffer

  // Copies `piece` into the buffer, writing the buffer out first when it lacks
  // room; pieces of a whole buffer or more go to the file directly.
  Result<std::monostate> write(std::string_view piece);
  // Writes out what the buffer holds.
  Result<std::monostate> flush();

private:
  explicit OutputFile(int descriptor);

  int descriptor_;
  std::string buffer_;
};

} // namespace tidewrack
