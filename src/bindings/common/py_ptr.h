#pragma once

#include <Python.h>

#include <utility>

namespace tidewrack::bindings {

// Owns one strong reference; `release()` hands it over to Python on success.
class PyPtr {
public:
  PyPtr() = default;
  explicit PyPtr(PyObject *owned) : object_(owned) {}
  PyPtr(const PyPtr &) = delete;
  PyPtr &operator=(const PyPtr &) = delete;
  PyPtr(PyPtr &&other) noexcept : object_(other.release()) {}
  PyPtr &operator=(PyPtr &&other) noexcept {
    reset(other.release());
    return *this;
  }
  ~PyPtr() { Py_XDECREF(object_); }

  // A new strong reference to a borrowed object.
  static PyPtr borrow(PyObject *borrowed) {
    Py_XINCREF(borrowed);
    return PyPtr(borrowed);
  }

  PyObject *get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  PyObject *release() { return std::exchange(object_, nullptr); }

  // The new value is in place before the old reference is dropped.
  void reset(PyObject *owned = nullptr) {
    PyObject *old = std::exchange(object_, owned);
    Py_XDECREF(old);
  }

private:
  PyObject *object_ = nullptr;
};

} // namespace tidewrack::bindings
