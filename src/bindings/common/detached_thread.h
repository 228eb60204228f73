#pragma once

#include <Python.h>

namespace tidewrack::bindings {

// Detaches the calling thread from the interpreter for the life of the guard
// (releases the global interpreter lock where there is one). Reattaches on
// every path, exceptions included. No Python API may be called meanwhile,
// except inside attached().
class DetachedThread {
public:
  DetachedThread() : state_(PyEval_SaveThread()) {}
  DetachedThread(const DetachedThread &) = delete;
  DetachedThread &operator=(const DetachedThread &) = delete;
  ~DetachedThread() { PyEval_RestoreThread(state_); }

  // Runs `call`, which may use the Python API, attached; detaches again after.
  template <class Call> auto attached(Call &&call) {
    PyEval_RestoreThread(state_);
    struct Detach {
      PyThreadState *&state;
      ~Detach() { state = PyEval_SaveThread(); }
    } detach{state_};
    return call();
  }

private:
  PyThreadState *state_;
};

} // namespace tidewrack::bindings
