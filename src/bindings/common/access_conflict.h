#pragma once

#include <Python.h>

namespace tidewrack::bindings {

// Shared access was wanted while another thread held exclusive access.
inline void raise_shared_conflict() {
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

// Exclusive access was wanted while another access was held.
inline void raise_exclusive_conflict() {
  PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
}

} // namespace tidewrack::bindings
