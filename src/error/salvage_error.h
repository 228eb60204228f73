#pragma once

#include <string>

namespace tidewrack {

// The engine's one error: a failed file operation, either reported by the
// operating system with an error number or by the I/O layer with a message;
// or work that the caller stopped through its StopPoll.
class SalvageError {
public:
  enum class Kind { Io, Interrupted };

  static SalvageError os(int error_number) { return SalvageError(Kind::Io, error_number, {}); }
  static SalvageError io(std::string message) {
    return SalvageError(Kind::Io, 0, std::move(message));
  }
  static SalvageError interrupted() { return SalvageError(Kind::Interrupted, 0, "interrupted"); }

  Kind kind() const { return kind_; }
  // The operating system's error number, 0 when the I/O layer failed on its own.
  int os_error() const { return os_error_; }
  // "<C library description> (os error N)", or the I/O layer's message.
  std::string display() const;

private:
  SalvageError(Kind kind, int error_number, std::string message)
      : kind_(kind), os_error_(error_number), message_(std::move(message)) {}

  Kind kind_;
  int os_error_;
  std::string message_;
};

} // namespace tidewrack
