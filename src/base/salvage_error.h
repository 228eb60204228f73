#pragma once

#include <string>

namespace tidewrack {

// The engine's one error: a failed file operation, either reported by the
// operating system with an error number or by the I/O layer with a message;
// work that the caller stopped through its StopPoll; input that cannot take
// the form asked for; or options that contradict what was detected of the input. A file salvage
// names the file the operation was on, since it works on several.
class SalvageError {
public:
  enum class Kind { Io, Interrupted, Invalid, Contradiction };

  static SalvageError os(int error_number) { return SalvageError(Kind::Io, error_number, {}); }
  static SalvageError io(std::string message) {
    return SalvageError(Kind::Io, 0, std::move(message));
  }
  // Input that cannot take the form asked for (as Arrow columns).
  static SalvageError invalid(std::string message) {
    return SalvageError(Kind::Invalid, 0, std::move(message));
  }
  // Options that contradict the dialect detected (the caller's message).
  static SalvageError contradiction(std::string message) {
    return SalvageError(Kind::Contradiction, 0, std::move(message));
  }
  static SalvageError interrupted() { return SalvageError(Kind::Interrupted, 0, "interrupted"); }

  Kind kind() const { return kind_; }
  // The operating system's error number, 0 when the I/O layer failed on its own.
  int os_error() const { return os_error_; }
  // "<C library description> (os error N)", or the I/O layer's message.
  std::string display() const;
  // The C library's description of the error number, or the I/O layer's message.
  std::string description() const;

  // The same error, naming the file the failed operation was on.
  SalvageError on_file(const std::string &path) && {
    path_ = path;
    return std::move(*this);
  }
  // That file's path; empty when not known.
  const std::string &path() const { return path_; }

private:
  SalvageError(Kind kind, int error_number, std::string message)
      : kind_(kind), os_error_(error_number), message_(std::move(message)) {}

  Kind kind_;
  int os_error_;
  std::string message_;
  std::string path_;
};

} // namespace tidewrack
