#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <system_error>

#include "bindings/detached_thread.h"

namespace tidewrack::bindings {

// A Python object made at most once per process, on first need, and kept (one
// strong reference) for the rest of the process. Racing first users wait for
// the lock detached from the interpreter, so the one that makes the object can
// run the interpreter (and a free-threaded collector can stop the world) while
// they wait: no deadlock is possible.
class ProcessObject {
public:
  // Returns the object (borrowed), or nullptr with a Python exception set when
  // `make` (returning a new reference or nullptr with an exception) failed.
  template <class Make> PyObject *get(Make &&make) {
    if (PyObject *ready = value_.load(std::memory_order_acquire)) {
      return ready;
    }
    try {
      DetachedThread detached;
      lock_.lock();
    } catch (const std::system_error &) {
      PyErr_SetString(PyExc_RuntimeError, "cannot lock a process-wide initialisation");
      return nullptr;
    }
    std::lock_guard<std::mutex> held(lock_, std::adopt_lock);
    PyObject *ready = value_.load(std::memory_order_acquire);
    if (ready == nullptr) {
      ready = make();
      if (ready != nullptr) {
        value_.store(ready, std::memory_order_release);
      }
    }
    return ready;
  }

private:
  std::atomic<PyObject *> value_{nullptr};
  std::mutex lock_;
};

} // namespace tidewrack::bindings
