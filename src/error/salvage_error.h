#pragma once

#include <string>

namespace tidewrack {

// The engine's one error: a failed file operation, either reported by the
// operating system with an error number or by the I/O layer with a message.
class SalvageError {
public:
  enum class Kind { Io };

  static SalvageError os(int error_number) { return SalvageError(error_number, {}); }
  static SalvageError io(std::string message) { return SalvageError(0, std::move(message)); }

  Kind kind() const { return Kind::Io; }
  // The operating system's error number, 0 when the I/O layer failed on its own.
  int os_error() const { return os_error_; }
  // "<C library description> (os error N)", or the I/O layer's message.
  std::string display() const;

private:
  SalvageError(int error_number, std::string message)
      : os_error_(error_number), message_(std::move(message)) {}

  int os_error_;
  std::string message_;
};

} // namespace tidewrack
