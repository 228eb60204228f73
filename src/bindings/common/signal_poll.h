#pragma once

#include <Python.h>

#include <chrono>

#include "bindings/common/detached_thread.h"

namespace tidewrack::bindings {

// The engine's StopPoll for work that runs detached: it re-attaches the thread
// and runs the pending signal handlers (only the main thread has any). A
// handler that raises (Ctrl-C: KeyboardInterrupt) stops the work, and its
// exception stays pending for the entry point to return.
class SignalPoll {
public:
  // Re-attaching may wait for the interpreter lock, so it happens at most this
  // often however often the engine asks; short enough that Ctrl-C feels prompt.
  static constexpr std::chrono::milliseconds PERIOD{20};

  explicit SignalPoll(DetachedThread &detached) : detached_(detached) {}

  bool operator()(bool signalled) {
    if (stopped_) {
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!signalled && now < next_) {
      return false;
    }
    next_ = now + PERIOD;
    stopped_ = detached_.attached([] { return PyErr_CheckSignals() != 0; });
    return stopped_;
  }

private:
  DetachedThread &detached_;
  std::chrono::steady_clock::time_point next_{};
  bool stopped_ = false;
};

} // namespace tidewrack::bindings
