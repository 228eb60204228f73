#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/result.h"
#include "base/stop_poll.h"

namespace tidewrack {

// Supplies an input's bytes from elsewhere than a file the engine opens (a
// decompressor or a decoder of the caller's). Refers to a callable
// `Result<std::size_t>(char *out, std::size_t size)` that fills up to `size`
// bytes and gives 0 only at the end; it must outlive the supply and every
// InputFile reading from it.
class ByteSupply {
public:
  ByteSupply() = default;
  template <class Callable>
    requires(!std::is_same_v<std::remove_cv_t<Callable>, ByteSupply>) // copies stay plain copies
  explicit ByteSupply(Callable &callable)
      : context_(&callable), call_([](void *context, char *out, std::size_t size) {
          return (*static_cast<Callable *>(context))(out, size);
        }) {}

  explicit operator bool() const { return call_ != nullptr; }
  Result<std::size_t> operator()(char *out, std::size_t size) const {
    return call_(context_, out, size);
  }

private:
  void *context_ = nullptr;
  Result<std::size_t> (*call_)(void *, char *, std::size_t) = nullptr;
};

// What a salvage reads: the file at `path`, or, when `supply` is set, the
// bytes it supplies, which `path` then only names in errors.
struct InputSource {
  InputSource(std::string file_path) : path(std::move(file_path)) {} // NOLINT: a path is a source
  InputSource(std::string name, ByteSupply bytes) : path(std::move(name)), supply(bytes) {}

  std::string path;
  ByteSupply supply;
};

// A file open for reading, or a supply read like one. A read that a signal interrupts is repeated
// unless `stop` then says to stop; `stop` is also asked about once per MiB read.
class InputFile {
public:
  static Result<InputFile> open(const std::string &path, StopPoll stop = {});
  // The source's file opened, or its supply.
  static Result<InputFile> open(const InputSource &source, StopPoll stop = {});
  InputFile(InputFile &&other) noexcept;
  InputFile &operator=(InputFile &&) = delete;
  ~InputFile();

  // Reads up to `size` bytes (at most a MiB at a time) into `out`; 0 at the
  // end of the file.
  Result<std::size_t> read(char *out, std::size_t size);
  // Reads until `size` bytes are read or the file ends; returns the count read.
  Result<std::size_t> read_fully(char *out, std::size_t size);

  // The size the file had when it was opened; 0 when unknown (a pipe, a supply).
  std::uint64_t expected_size() const { return expected_size_; }
  // The bytes read so far.
  std::uint64_t bytes_read() const { return read_; }

private:
  InputFile(int descriptor, StopPoll stop)
      : descriptor_(descriptor), checkpoints_(stop), stop_(stop) {}

  int descriptor_; // -1 when the bytes come from supply_
  ByteSupply supply_;
  std::uint64_t expected_size_ = 0;
  std::uint64_t read_ = 0;
  StopCheckpoints checkpoints_;
  StopPoll stop_;
};

// Reads a whole file; reads that a signal interrupts are repeated. Fails with
// Interrupted when `stop` says so.
Result<std::string> read_whole_file(const std::string &path, StopPoll stop = {});

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
