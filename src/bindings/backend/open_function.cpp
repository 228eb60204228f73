#include <span>
#include <string>

#include "bindings/backend/module_functions.h"
#include "bindings/backend/module_state.h"
#include "bindings/backend/py_salvage_reader.h"
#include "bindings/common/argument_binding.h"
#include "bindings/common/cpp_boundary.h"
#include "bindings/common/salvage_option_arguments.h"

namespace tidewrack::bindings {

namespace {

ParameterList parameters("", "open", READER_PARAMETER_NAMES, 1);

PyObject *open_function(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    std::string file_path;
    SalvageOptions options;
    if (!parameters.bind(args, nargs, kwnames, values) ||
        !convert_text(values[0], "file_path", file_path) ||
        !convert_salvage_options(std::span<PyObject *const, SALVAGE_OPTION_PARAMETERS>(
                                     values.data() + 1, SALVAGE_OPTION_PARAMETERS),
                                 options)) {
      return nullptr;
    }
    PyTypeObject *type = live_type(module_state(module).reader_type);
    if (type == nullptr) {
      return nullptr;
    }
    return new_salvage_reader(type, file_path, options);
  });
}

} // namespace

PyMethodDef OPEN_FUNCTION = {
    "open",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True)\n"
    "--\n"
    "\n"
    "Convenience function to open and stream a salvaged CSV file.",
};

} // namespace tidewrack::bindings
