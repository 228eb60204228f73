#include <Python.h>

#include "bindings/backend/module_functions.h"
#include "bindings/backend/module_state.h"
#include "bindings/backend/py_salvage_reader.h"
#include "bindings/backend/py_salvage_summary.h"
#include "bindings/common/cpp_boundary.h"
#include "bindings/common/py_ptr.h"

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
  if (!names) {
    return nullptr;
  }
  for (const char *name : PUBLIC_NAMES) {
    PyPtr text(PyUnicode_FromString(name));
    if (!text || PyList_Append(names.get(), text.get()) != 0) {
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

// Makes a type with `make` (a new reference or nullptr), keeps it in `slot` of
// the module state and sets it as the attribute `name`.
bool add_type(PyObject *module, const char *name, PyObject *(*make)(PyObject *),
              PyTypeObject *&slot) {
  PyObject *type = make(module);
  if (type == nullptr) {
    return false;
  }
  slot = reinterpret_cast<PyTypeObject *>(type);
  return set_attribute(module, name, PyPtr::borrow(type));
}

int exec_module(PyObject *module) {
  ModuleState &state = module_state(module);
  bool done = without_cpp_exceptions<bool>(false, [&] {
    return set_attribute(module, "__version__", PyPtr(PyUnicode_FromString(TIDEWRACK_VERSION))) &&
           set_attribute(module, "__doc__", PyPtr(PyUnicode_FromString(PACKAGE_DESCRIPTION))) &&
           set_attribute(module, "__all__", PyPtr(new_public_names())) &&
           add_function(module, SALVAGE_FILE_FUNCTION) && add_function(module, SNIFF_FUNCTION) &&
           add_function(module, OPEN_FUNCTION) &&
           add_type(module, "SalvageSummary", make_salvage_summary_type, state.summary_type) &&
           add_type(module, "SalvageReader", make_salvage_reader_type, state.reader_type);
  });
  return done ? 0 : -1;
}

int traverse_module(PyObject *module, visitproc visit, void *arg) {
  ModuleState &state = module_state(module);
  Py_VISIT(state.summary_type);
  Py_VISIT(state.reader_type);
  return 0;
}

int clear_module(PyObject *module) {
  ModuleState &state = module_state(module);
  Py_CLEAR(state.summary_type);
  Py_CLEAR(state.reader_type);
  return 0;
}

void free_module(void *module) {
  clear_module(static_cast<PyObject *>(module));
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
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

} // namespace

} // namespace tidewrack::bindings

PyMODINIT_FUNC PyInit__tidewrack_backend(void) {
  return PyModuleDef_Init(&tidewrack::bindings::module_definition);
}
