#include "salvage/file_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tidewrack {

namespace {

constexpr std::string_view NUL_IN_PATH = "file name contained an unexpected NUL byte";

bool has_nul(const std::string &path) {
  return path.find('\0') != std::string::npos;
}

class Descriptor {
public:
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor() { ::close(descriptor_); }
  int get() const { return descriptor_; }

private:
  int descriptor_;
};

// Writes all of `data`, repeating interrupted writes. A write the system
// accepts with zero bytes fails with `zero_write_message`.
Result<std::monostate> write_all(int descriptor, std::string_view data,
                                 std::string_view zero_write_message) {
  while (!data.empty()) {
    ssize_t written = ::write(descriptor, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return SalvageError::os(errno);
    }
    if (written == 0) {
      return SalvageError::io(std::string(zero_write_message));
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return std::monostate{};
}

// Reads the file at `path` into `bytes`, which offers resize(n), data() and size().
template <class Bytes> Result<std::monostate> read_into(const std::string &path, Bytes &bytes) {
  if (has_nul(path)) {
    return SalvageError::io(std::string(NUL_IN_PATH));
  }
  int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw < 0) {
    return SalvageError::os(errno);
  }
  Descriptor file(raw);
  struct stat status {};
  std::size_t expected = 0;
  if (::fstat(file.get(), &status) == 0 && status.st_size > 0) {
    expected = static_cast<std::size_t>(status.st_size);
  }
  // One byte beyond the expected size lets the end of the file show without
  // growing the buffer; a file that grows while read is still read whole.
  bytes.resize(expected + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      bytes.resize(bytes.size() * 2);
    }
    ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return SalvageError::os(errno);
    }
    if (got == 0) {
      break;
    }
    filled += static_cast<std::size_t>(got);
  }
  bytes.resize(filled);
  return std::monostate{};
}

// FileBytes seen as a resizable byte string whose new bytes are left as they are.
struct UnfilledBytes {
  FileBytes &bytes;
  void resize(std::size_t size) {
    bytes.reserve(size);
    bytes.set_size(size);
  }
  char *data() { return bytes.data(); }
  std::size_t size() const { return bytes.size(); }
};

} // namespace

Result<std::string> read_whole_file(const std::string &path) {
  std::string bytes;
  Result<std::monostate> read = read_into(path, bytes);
  if (!read.ok()) {
    return std::move(read.error());
  }
  return bytes;
}

Result<FileBytes> read_file_bytes(const std::string &path) {
  FileBytes bytes;
  UnfilledBytes unfilled{bytes};
  Result<std::monostate> read = read_into(path, unfilled);
  if (!read.ok()) {
    return std::move(read.error());
  }
  return bytes;
}

void FileBytes::reserve(std::size_t capacity) {
  if (capacity <= capacity_) {
    return;
  }
  // Left unfilled: read() writes every byte that counts.
  std::unique_ptr<char[]> grown(new char[capacity]);
  if (size_ > 0) {
    std::memcpy(grown.get(), data_.get(), size_);
  }
  data_ = std::move(grown);
  capacity_ = capacity;
}

Result<OutputFile> OutputFile::create(const std::string &path) {
  if (has_nul(path)) {
    return SalvageError::io(std::string(NUL_IN_PATH));
  }
  int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (descriptor < 0) {
    return SalvageError::os(errno);
  }
  return OutputFile(descriptor);
}

OutputFile::OutputFile(int descriptor) : descriptor_(descriptor), buffer_(new char[BUFFER_SIZE]) {}

OutputFile::OutputFile(OutputFile &&other) noexcept
    : descriptor_(other.descriptor_), buffer_(std::move(other.buffer_)), used_(other.used_) {
  other.descriptor_ = -1;
}

OutputFile::~OutputFile() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
  }
}

Result<std::monostate> OutputFile::write(std::string_view piece) {
  if (piece.size() <= BUFFER_SIZE - used_) {
    std::memcpy(buffer_.get() + used_, piece.data(), piece.size());
    used_ += piece.size();
    return std::monostate{};
  }
  Result<std::monostate> flushed = flush();
  if (!flushed.ok()) {
    return flushed;
  }
  if (piece.size() >= BUFFER_SIZE) {
    return write_all(descriptor_, piece, "failed to write whole buffer");
  }
  std::memcpy(buffer_.get(), piece.data(), piece.size());
  used_ = piece.size();
  return std::monostate{};
}

Result<std::monostate> OutputFile::flush() {
  Result<std::monostate> written = write_all(descriptor_, std::string_view(buffer_.get(), used_),
                                             "failed to write the buffered data");
  used_ = 0;
  return written;
}

} // namespace tidewrack
