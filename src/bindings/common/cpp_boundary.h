#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace tidewrack::bindings {

// Runs the body of an entry point so that no C++ exception reaches the
// interpreter: an allocation failure in C++ code becomes MemoryError, any
// other standard exception SystemError (a fault of this module, not of the
// input). Nothing else is caught: nothing here throws other types, and the
// forced unwinding that ends a thread must pass. `body` returns what the entry
// point returns; `failed` is its error value.
template <class Result, class Body> Result without_cpp_exceptions(Result failed, Body &&body) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::length_error &) {
    PyErr_NoMemory();
  } catch (const std::exception &error) {
    PyErr_Format(PyExc_SystemError, "internal C++ error: %s", error.what());
  }
  return failed;
}

} // namespace tidewrack::bindings
