#include <Python.h>

#include "bindings/cpp_boundary.h"
#include "bindings/module_functions.h"
#include "bindings/py_ptr.h"
#include "bindings/py_salvage_reader.h"
#include "bindings/py_salvage_summary.h"

namespace tidewrack::bindings {

namespace {

const char PACKAGE_DESCRIPTION[] =
    "High-performance, fault-tolerant tidewrack and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

const char *const PUBLIC_NAMES[] = {"salvage_file", "sniff", "open", "SalvageSummary",
                                    "SalvageReader"};

// Takes the new reference `value` (nullptr: a failure already raised).
bool set_attribute(PyObject *module, const char *name, PyPtr value) {
  if (!value) {
    return false;
  }
  PyPtr key(PyUnicode_FromString(name));
  return key && PyObject_SetAttr(module, key.get(), value.get()) == 0;
}

PyObject *new_public_names() {
  PyPtr names(PyList_New(0));
  for (const char *name : PUBLIC_NAMES) {
    PyPtr text(PyUnicode_FromString(name));
    if (!names || !text || PyList_Append(names.get(), text.get()) != 0) {
      return nullptr;
    }
  }
  return names.release();
}

bool add_function(PyObject *module, PyMethodDef &definition) {
  PyPtr module_name(PyModule_GetNameObject(module));
  if (!module_name) {
    return false;
  }
  return set_attribute(module, definition.ml_name,
                       PyPtr(PyCMethod_New(&definition, module, module_name.get(), nullptr)));
}

bool add_type(PyObject *module, const char *name, PyTypeObject *type) {
  return set_attribute(module, name, PyPtr::borrow(reinterpret_cast<PyObject *>(type)));
}

int exec_module(PyObject *module) {
  bool done = without_cpp_exceptions<bool>(false, [&] {
    return set_attribute(module, "__version__", PyPtr(PyUnicode_FromString("0.2.0"))) &&
           set_attribute(module, "__doc__", PyPtr(PyUnicode_FromString(PACKAGE_DESCRIPTION))) &&
           set_attribute(module, "__all__", PyPtr(new_public_names())) &&
           add_function(module, SALVAGE_FILE_FUNCTION) && add_function(module, SNIFF_FUNCTION) &&
           add_function(module, OPEN_FUNCTION) &&
           add_type(module, "SalvageSummary", salvage_summary_type()) &&
           add_type(module, "SalvageReader", salvage_reader_type());
  });
  return done ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tidewrack_backend",
    "The native _tidewrack_backend Python module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace tidewrack::bindings

PyMODINIT_FUNC PyInit__tidewrack_backend(void) {
  return PyModuleDef_Init(&tidewrack::bindings::module_definition);
}
