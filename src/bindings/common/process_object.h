#pragma once

#include <Python.h>

#include <atomic>

namespace tidewrack::bindings {

// A Python object made at most once per process, on first need, and kept (one
// strong reference) for the rest of the process. Nothing waits: racing first
// users, or a first use re-entered from inside `make` (a finalizer run by the
// collector), each make their own object, the first one published stays and
// the others are dropped. Only for plain values, where any copy serves.
class ProcessObject {
public:
  // Returns the object (borrowed), or nullptr with a Python exception set when
  // `make` (returning a new reference or nullptr with an exception) failed.
  template <class Make> PyObject *get(Make &&make) {
    PyObject *ready = value_.load(std::memory_order_acquire);
    if (ready != nullptr) {
      return ready;
    }
    PyObject *made = make();
    if (made == nullptr) {
      return nullptr;
    }
    if (value_.compare_exchange_strong(ready, made, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      return made;
    }
    Py_DECREF(made);
    return ready;
  }

private:
  std::atomic<PyObject *> value_{nullptr};
};

} // namespace tidewrack::bindings
