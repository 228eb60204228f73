#include <Python.h>

#include "arrow/arrow_scan.h"
#include "bindings/common/cpp_boundary.h"
#include "bindings/common/py_ptr.h"
#include "bindings/native/functions.h"
#include "bindings/native/py_arrow_scan.h"
#include "salvage/salvage_file.h"

namespace tidewrack::bindings {

namespace {

PyMethodDef module_functions[] = {
    {"salvage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(salvage_function)),
     METH_FASTCALL | METH_KEYWORDS, SALVAGE_DOC},
    {"detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detect_function)),
     METH_FASTCALL | METH_KEYWORDS, DETECT_DOC},
    {"detect_encoding", detect_encoding_function, METH_O, DETECT_ENCODING_DOC},
    {"simd", simd_function, METH_NOARGS, SIMD_DOC},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module) {
  const bool done = without_cpp_exceptions<bool>(false, [&] {
    PyPtr type(make_arrow_scan_type(module));
    return type && PyModule_AddObjectRef(module, "ArrowScan", type.get()) == 0 &&
           PyModule_AddIntConstant(module, "MAX_THREADS", MAX_THREADS) == 0 &&
           PyModule_AddIntConstant(module, "BATCH_ROWS", static_cast<long>(DEFAULT_BATCH_ROWS)) ==
               0;
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

// No state: the one type is held by the module's attribute alone.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tidewrack._native",
    "The tidewrack package's own engine: salvage with a repair log, Arrow scans.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace tidewrack::bindings

PyMODINIT_FUNC PyInit__native(void) {
  return PyModuleDef_Init(&tidewrack::bindings::module_definition);
}
