#include <span>
#include <string>

#include "bindings/backend/module_functions.h"
#include "bindings/backend/module_state.h"
#include "bindings/backend/py_salvage_reader.h"
#include "bindings/common/argument_binding.h"
#include "bindings/common/cpp_boundary.h"
#include "bindings/common/reading_options.h"

namespace tidewrack::bindings {

namespace {

ParameterList parameters("", "open", READER_PARAMETERS.names, 1);

PyObject *open_function(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    std::string file_path;
    SalvageOptions options;
    if (!parameters.bind(args, nargs, kwnames, values) ||
        !convert_text(values[0], "file_path", file_path) ||
        !convert_classic_options(READER_PARAMETERS.options(values), options)) {
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

constexpr auto DOC = document([](DocWriter &write) {
  write("open(file_path, ");
  write(CLASSIC_OPTIONS);
  write(")\n--\n\nConvenience function to open and stream a salvaged CSV file.");
});

PyMethodDef OPEN_FUNCTION = {
    "open",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_function)),
    METH_FASTCALL | METH_KEYWORDS,
    DOC.data(),
};

} // namespace tidewrack::bindings
