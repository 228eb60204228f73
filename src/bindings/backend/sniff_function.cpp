#include <string_view>

#include "bindings/backend/module_functions.h"
#include "bindings/common/argument_binding.h"
#include "bindings/common/cpp_boundary.h"
#include "heuristics/sniff.h"

namespace tidewrack::bindings {

namespace {

const char *const NAMES[] = {"sample"};
ParameterList parameters("", "sniff", NAMES, 1);

// Stays attached: sniffing reads only the head of the sample, which is borrowed
// from the str argument.
PyObject *sniff(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    std::string_view sample;
    if (!parameters.bind(args, nargs, kwnames, values) ||
        !convert_text(values[0], "sample", sample)) {
      return nullptr;
    }
    return PyUnicode_FromOrdinal(sniff_delimiter(sample, '"'));
  });
}

} // namespace

PyMethodDef SNIFF_FUNCTION = {
    "sniff",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sniff)),
    METH_FASTCALL | METH_KEYWORDS,
    "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample.",
};

} // namespace tidewrack::bindings
