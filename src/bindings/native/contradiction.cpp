#include "bindings/native/contradiction.h"

#include <Python.h>

#include "bindings/common/py_ptr.h"

namespace tidewrack::bindings {

void raise_contradiction(const SalvageError &error) {
  // The package's own error, which the command line reports as a usage error.
  PyPtr options(PyImport_ImportModule("tidewrack._options"));
  PyPtr type(options ? PyObject_GetAttrString(options.get(), "OptionError") : nullptr);
  if (type) {
    PyErr_SetString(type.get(), error.description().c_str());
  }
}

} // namespace tidewrack::bindings
