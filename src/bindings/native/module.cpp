#include <Python.h>

#include "bindings/native/functions.h"

namespace tidewrack::bindings {

namespace {

PyMethodDef module_functions[] = {
    {"salvage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(salvage_function)),
     METH_FASTCALL | METH_KEYWORDS, SALVAGE_DOC},
    {"detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detect_function)),
     METH_FASTCALL | METH_KEYWORDS, DETECT_DOC},
    {"simd", simd_function, METH_NOARGS, SIMD_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

// Nothing but functions: no state, no types, nothing to traverse or clear.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tidewrack._native",
    "The tidewrack package's own engine functions: salvage with a repair log.",
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
