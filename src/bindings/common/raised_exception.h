#pragma once

#include <Python.h>

namespace tidewrack::bindings {

// The exception being raised, normalized and with its traceback, taken off the
// thread (a new reference; nullptr when none is being raised).
inline PyObject *take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type = nullptr;
  PyObject *value = nullptr;
  PyObject *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
  }
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Raises `raised` again, taking the reference take_raised_exception() gave.
inline void restore_raised_exception(PyObject *raised) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(raised);
#else
  if (raised == nullptr) {
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(raised))), raised,
                PyException_GetTraceback(raised));
#endif
}

} // namespace tidewrack::bindings
