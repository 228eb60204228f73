#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

namespace tidewrack::bindings {

// A dialect's character as a str, None for none (0).
inline PyObject *character_or_none(std::uint8_t byte) {
  if (byte == 0) {
    Py_RETURN_NONE;
  }
  return PyUnicode_FromOrdinal(byte);
}

// A text as a str, None when empty.
inline PyObject *text_or_none(std::string_view text) {
  if (text.empty()) {
    Py_RETURN_NONE;
  }
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

} // namespace tidewrack::bindings
