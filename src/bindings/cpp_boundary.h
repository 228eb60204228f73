#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

namespace tidewrack::bindings {

// Runs the body of an entry point so that no C++ exception reaches the
// interpreter: an allocation failure in C++ code becomes MemoryError. `body`
// returns what the entry point returns; `failed` is its error value.
template <class Result, class Body> Result without_cpp_exceptions(Result failed, Body &&body) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
  } catch (const std::length_error &) {
  }
  PyErr_NoMemory();
  return failed;
}

} // namespace tidewrack::bindings
