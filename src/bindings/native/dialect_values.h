#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/common/py_ptr.h"

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

// Texts as a new list of str.
inline PyObject *text_list(const std::vector<std::string> &texts) {
  PyPtr list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) {
    return nullptr;
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject *text =
        PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()), "replace");
    if (text == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

} // namespace tidewrack::bindings
