#include <optional>
#include <span>
#include <string>

#include "bindings/backend/module_functions.h"
#include "bindings/backend/module_state.h"
#include "bindings/backend/py_salvage_summary.h"
#include "bindings/common/argument_binding.h"
#include "bindings/common/cpp_boundary.h"
#include "bindings/common/detached_thread.h"
#include "bindings/common/os_error.h"
#include "bindings/common/reading_options.h"
#include "bindings/common/signal_poll.h"
#include "io/file_io.h"
#include "salvage/salvage_file.h"

namespace tidewrack::bindings {

namespace {

constexpr const char *PATHS[] = {"input_path", "output_path", "quarantine_path"};
constexpr auto PARAMETERS = option_parameters(PATHS, CLASSIC_OPTIONS);
ParameterList parameters("", "salvage_file", PARAMETERS.names, 2);

PyObject *salvage_file_function(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    std::string input_path;
    std::string output_path;
    std::optional<std::string> quarantine_path;
    SalvageOptions options;
    if (!parameters.bind(args, nargs, kwnames, values) ||
        !convert_text(values[0], "input_path", input_path) ||
        !convert_text(values[1], "output_path", output_path) ||
        !convert_optional_text(values[2], "quarantine_path", quarantine_path) ||
        !convert_classic_options(PARAMETERS.options(values), options)) {
      return nullptr;
    }
    PyTypeObject *summary_type = live_type(module_state(module).summary_type);
    if (summary_type == nullptr) {
      return nullptr;
    }
    std::optional<Result<SalvageCounts>> result;
    bool same_outputs = false;
    {
      // Every argument is a C++ value now: other threads may run meanwhile.
      DetachedThread detached;
      same_outputs = quarantine_path && same_file(output_path, *quarantine_path);
      if (!same_outputs) {
        SignalPoll poll(detached);
        result.emplace(salvage_file(input_path, output_path, quarantine_path, options, std::nullopt,
                                    StopPoll(poll)));
      }
    }
    if (same_outputs) {
      // The quarantine would overwrite the clean rows.
      PyErr_SetString(PyExc_ValueError, "output_path and quarantine_path are the same file");
      return nullptr;
    }
    if (!result->ok()) {
      raise_salvage_file_error(result->error());
      return nullptr;
    }
    return new_salvage_summary(summary_type, SummaryValues::from_counts(result->value()));
  });
}

} // namespace

constexpr auto DOC = document([](DocWriter &write) {
  write("salvage_file(input_path, output_path, quarantine_path=None, ");
  write(CLASSIC_OPTIONS);
  write(")\n"
        "--\n"
        "\n"
        "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
        "\n"
        "Args:\n"
        "    input_path: Path to the corrupted CSV file.\n"
        "    output_path: Path where the repaired CSV file will be written.\n"
        "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
        "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, "
        "auto-sniffed.\n"
        "    quote_char: Optional single-character quote enclosure (default '\"').\n"
        "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
        "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
        "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
        "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default "
        "True.");
});

PyMethodDef SALVAGE_FILE_FUNCTION = {
    "salvage_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(salvage_file_function)),
    METH_FASTCALL | METH_KEYWORDS,
    DOC.data(),
};

} // namespace tidewrack::bindings
