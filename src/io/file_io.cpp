#include "io/file_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
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

// Opens `path` with `flags` (and `mode` for a new file), repeating an open
// that a signal interrupted unless `stop` then says to stop (an open can block,
// as on a FIFO that no one has opened from the other end).
Result<int> open_file(const std::string &path, int flags, mode_t mode, StopPoll stop) {
  for (;;) {
    int descriptor = ::open(path.c_str(), flags, mode);
    if (descriptor >= 0) {
      return descriptor;
    }
    if (errno != EINTR) {
      return SalvageError::os(errno);
    }
    if (stop(true)) {
      return SalvageError::interrupted();
    }
  }
}

// Writes all of `data`, repeating interrupted writes unless `stop` then says
// to stop. A write the system accepts with zero bytes fails with
// `zero_write_message`.
Result<std::monostate> write_all(int descriptor, std::string_view data,
                                 std::string_view zero_write_message, StopPoll stop) {
  while (!data.empty()) {
    ssize_t written = ::write(descriptor, data.data(), data.size());
    if (written < 0) {
      if (errno != EINTR) {
        return SalvageError::os(errno);
      }
      if (stop(true)) {
        return SalvageError::interrupted();
      }
      continue;
    }
    if (written == 0) {
      return SalvageError::io(std::string(zero_write_message));
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return std::monostate{};
}

// Symlinks followed in a row before a path is taken as it is (the system's own limit).
constexpr int MAX_SYMLINK_HOPS = 40;

// Where a file opened for writing at `path` ends up: symlinks at the end are
// followed, also one that leads to a file not made yet, and the folder is made
// canonical. Empty when the path names no file in a folder that resolves (the
// open fails there).
std::string resolved_path(std::string path) {
  char target[PATH_MAX];
  for (int hop = 0; hop < MAX_SYMLINK_HOPS; ++hop) {
    ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (length < 0 || static_cast<std::size_t>(length) == sizeof target) {
      break;
    }
    std::string link(target, static_cast<std::size_t>(length));
    std::size_t slash = path.rfind('/');
    path = link.starts_with('/') || slash == std::string::npos ? link
                                                               : path.substr(0, slash + 1) + link;
  }
  std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    return {}; // a folder: no file opens there
  }
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  char *canonical = ::realpath(folder.c_str(), nullptr);
  if (canonical == nullptr) {
    return {};
  }
  std::string resolved(canonical);
  std::free(canonical);
  if (!resolved.ends_with('/')) {
    resolved += '/';
  }
  return resolved + name;
}

} // namespace

Result<InputFile> InputFile::open(const std::string &path, StopPoll stop) {
  if (has_nul(path)) {
    return SalvageError::io(std::string(NUL_IN_PATH));
  }
  Result<int> opened = open_file(path, O_RDONLY | O_CLOEXEC, 0, stop);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  InputFile file(opened.value(), stop);
  struct stat status{};
  if (::fstat(file.descriptor_, &status) == 0 && status.st_size > 0) {
    file.expected_size_ = static_cast<std::uint64_t>(status.st_size);
  }
  return file;
}

Result<InputFile> InputFile::open(const InputSource &source, StopPoll stop) {
  if (!source.supply) {
    return open(source.path, stop);
  }
  InputFile supplied(-1, stop);
  supplied.supply_ = source.supply;
  return supplied;
}

InputFile::InputFile(InputFile &&other) noexcept
    : descriptor_(other.descriptor_), supply_(other.supply_), expected_size_(other.expected_size_),
      read_(other.read_), checkpoints_(other.checkpoints_), stop_(other.stop_) {
  other.descriptor_ = -1;
}

InputFile::~InputFile() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
  }
}

Result<std::size_t> InputFile::read(char *out, std::size_t size) {
  for (;;) {
    if (checkpoints_.stop_at(read_)) {
      return SalvageError::interrupted();
    }
    // A read at a time stays short so that a stop is noticed soon.
    const std::size_t wanted = std::min<std::size_t>(size, StopCheckpoints::INTERVAL);
    if (supply_) {
      Result<std::size_t> supplied = supply_(out, wanted);
      if (supplied.ok()) {
        read_ += supplied.value();
      }
      return supplied;
    }
    const ssize_t got = ::read(descriptor_, out, wanted);
    if (got >= 0) {
      read_ += static_cast<std::uint64_t>(got);
      return static_cast<std::size_t>(got);
    }
    if (errno != EINTR) {
      return SalvageError::os(errno);
    }
    if (stop_(true)) {
      return SalvageError::interrupted();
    }
  }
}

Result<std::size_t> InputFile::read_fully(char *out, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    Result<std::size_t> got = read(out + filled, size - filled);
    if (!got.ok()) {
      return got;
    }
    if (got.value() == 0) {
      break;
    }
    filled += got.value();
  }
  return filled;
}

Result<std::string> read_whole_file(const std::string &path, StopPoll stop) {
  Result<InputFile> opened = InputFile::open(path, stop);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  InputFile &file = opened.value();
  // One byte beyond the expected size lets the end of the file show without
  // growing the buffer; a file that grows while read is still read whole.
  std::string bytes(file.expected_size() + 1, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      bytes.resize(bytes.size() * 2);
    }
    Result<std::size_t> got = file.read(bytes.data() + filled, bytes.size() - filled);
    if (!got.ok()) {
      return std::move(got.error());
    }
    if (got.value() == 0) {
      break;
    }
    filled += got.value();
  }
  bytes.resize(filled);
  return bytes;
}

Result<OutputFile> OutputFile::create(const std::string &path, StopPoll stop) {
  if (has_nul(path)) {
    return SalvageError::io(std::string(NUL_IN_PATH));
  }
  Result<int> opened = open_file(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666, stop);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  return OutputFile(opened.value(), stop);
}

OutputFile::OutputFile(int descriptor, StopPoll stop)
    : descriptor_(descriptor), buffer_(new char[BUFFER_SIZE]), stop_(stop) {}

OutputFile::OutputFile(OutputFile &&other) noexcept
    : descriptor_(other.descriptor_), buffer_(std::move(other.buffer_)), used_(other.used_),
      stop_(other.stop_) {
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
    return write_all(descriptor_, piece, "failed to write whole buffer", stop_);
  }
  std::memcpy(buffer_.get(), piece.data(), piece.size());
  used_ = piece.size();
  return std::monostate{};
}

Result<std::monostate> OutputFile::flush() {
  Result<std::monostate> written = write_all(descriptor_, std::string_view(buffer_.get(), used_),
                                             "failed to write the buffered data", stop_);
  used_ = 0;
  return written;
}

bool same_file(const std::string &first, const std::string &second) {
  if (has_nul(first) || has_nul(second)) {
    return false; // neither opens
  }
  struct stat first_status{};
  struct stat second_status{};
  if (::stat(first.c_str(), &first_status) == 0 && ::stat(second.c_str(), &second_status) == 0) {
    // Only a regular file loses what was written first; a device or a pipe
    // takes both writes.
    return first_status.st_dev == second_status.st_dev &&
           first_status.st_ino == second_status.st_ino && S_ISREG(first_status.st_mode);
  }
  std::string resolved = resolved_path(first);
  return !resolved.empty() && resolved == resolved_path(second);
}

} // namespace tidewrack
