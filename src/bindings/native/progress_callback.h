#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "bindings/common/detached_thread.h"
#include "bindings/common/py_ptr.h"

namespace tidewrack::bindings {

// The engine's ProgressSink for a Python callable (nullptr: none), for work
// that runs detached: the callable gets the input bytes done, re-attached, at
// most every PERIOD. An exception it raises stays pending and makes failed()
// true, which the stop poll turns into a stop.
class ProgressCallback {
public:
  // Re-attaching may wait for the interpreter lock; a bar needs no more often.
  static constexpr std::chrono::milliseconds PERIOD{50};

  ProgressCallback(DetachedThread &detached, PyObject *callable)
      : detached_(detached), callable_(callable) {}

  void operator()(std::uint64_t input_bytes_done) {
    latest_ = input_bytes_done;
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_) {
      next_ = now + PERIOD;
      deliver();
    }
  }

  // The last count, when the callable has not been given it yet.
  void finish() {
    if (latest_ != delivered_) {
      deliver();
    }
  }

  bool failed() const { return failed_; }

private:
  void deliver() {
    if (callable_ == nullptr || failed_) {
      return;
    }
    delivered_ = latest_;
    failed_ = detached_.attached([this] {
      if (PyErr_Occurred() != nullptr) {
        return true; // a signal handler already raised: the work is stopping
      }
      PyPtr done(PyLong_FromUnsignedLongLong(latest_));
      PyPtr result(done ? PyObject_CallOneArg(callable_, done.get()) : nullptr);
      return !result;
    });
  }

  DetachedThread &detached_;
  PyObject *callable_;
  std::chrono::steady_clock::time_point next_{};
  std::uint64_t latest_ = 0;
  std::uint64_t delivered_ = 0;
  bool failed_ = false;
};

} // namespace tidewrack::bindings
