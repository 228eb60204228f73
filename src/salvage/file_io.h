#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "error/progress_sink.h"
#include "error/result.h"
#include "error/stop_poll.h"

namespace tidewrack {

// Reads a whole file; reads that a signal interrupts are repeated. Fails with
// Interrupted when `stop` says so.
Result<std::string> read_whole_file(const std::string &path, StopPoll stop = {});

// The bytes of a whole file, in memory that is not zero-filled before the file
// is read into it.
class FileBytes {
public:
  std::string_view view() const { return {data_.get(), size_}; }

  // Room for at least `capacity` bytes, keeping the first `size()` bytes.
  void reserve(std::size_t capacity);
  char *data() { return data_.get(); }
  std::size_t size() const { return size_; }
  void set_size(std::size_t size) { size_ = size; }

private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Reads a whole file like read_whole_file, into FileBytes, telling `progress`
// the bytes read every ProgressSink::INTERVAL and once at the end.
Result<FileBytes> read_file_bytes(const std::string &path, StopPoll stop = {},
                                  ProgressSink progress = {});

// True when files opened for writing at the two paths would be one regular
// file: the same existing file, or the same path once symlinks are resolved.
bool same_file(const std::string &first, const std::string &second);

// A file opened for writing (created, truncated) behind an 8192-byte buffer.
// An open or a write that a signal interrupts is repeated unless `stop` then
// says to stop.
class OutputFile {
public:
  static constexpr std::size_t BUFFER_SIZE = 8192;

  static Result<OutputFile> create(const std::string &path, StopPoll stop = {});
  OutputFile(OutputFile &&other) noexcept;
  OutputFile &operator=(OutputFile &&) = delete;
  ~OutputFile(); // closes without writing out the buffer

  // Copies `piece` into the buffer, writing the buffer out first when it lacks
  // room; pieces of a whole buffer or more go to the file directly.
  Result<std::monostate> write(std::string_view piece);
  // Writes out what the buffer holds.
  Result<std::monostate> flush();

  // The free room of the buffer, to render a piece into in place.
  std::size_t room() const { return BUFFER_SIZE - used_; }
  char *free_space() { return buffer_.get() + used_; }
  // Takes the `size` bytes just rendered at free_space() as one piece; `size`
  // is at most room(), so this is exactly what write() does with a piece that fits.
  void commit(std::size_t size) { used_ += size; }

private:
  OutputFile(int descriptor, StopPoll stop);

  int descriptor_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  StopPoll stop_;
};

} // namespace tidewrack
