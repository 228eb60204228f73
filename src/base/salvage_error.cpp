#include "base/salvage_error.h"

#include <string.h>

namespace tidewrack {

namespace {

// strerror() is not thread-safe; pick the reentrant variant the C library offers.
[[maybe_unused]] const char *os_description(int result, const char *buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char *os_description(const char *result, const char *) {
  return result;
}

} // namespace

std::string SalvageError::description() const {
  if (os_error_ == 0) {
    return message_;
  }
  char buffer[256] = {};
  return os_description(strerror_r(os_error_, buffer, sizeof buffer), buffer);
}

std::string SalvageError::display() const {
  if (os_error_ == 0) {
    return message_;
  }
  std::string text = description();
  text += " (os error ";
  text += std::to_string(os_error_);
  text += ')';
  return text;
}

} // namespace tidewrack
