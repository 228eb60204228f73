#pragma once

#include <Python.h>

namespace tidewrack::bindings {

// What one _tidewrack_backend module object owns: the two types its execution
// step made. Each module object has its own, as heap types should, so nothing
// is shared between module objects or interpreters.
struct ModuleState {
  PyTypeObject *summary_type;
  PyTypeObject *reader_type;
};

// The state of `module`, a _tidewrack_backend module object.
inline ModuleState &module_state(PyObject *module) {
  return *static_cast<ModuleState *>(PyModule_GetState(module));
}

// `type` of a module's state (borrowed), or nullptr with RuntimeError when the
// module has been cleared, as at interpreter shutdown.
inline PyTypeObject *live_type(PyTypeObject *type) {
  if (type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the _tidewrack_backend module has been cleared");
  }
  return type;
}

} // namespace tidewrack::bindings
