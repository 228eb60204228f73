#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "bindings/common/argument_binding.h"
#include "bindings/common/cpp_boundary.h"
#include "bindings/common/detached_thread.h"
#include "bindings/common/os_error.h"
#include "bindings/common/py_ptr.h"
#include "bindings/common/salvage_option_arguments.h"
#include "bindings/common/signal_poll.h"
#include "bindings/native/functions.h"
#include "bindings/native/progress_callback.h"
#include "encoding/encoding.h"
#include "salvage/file_io.h"
#include "salvage/salvage_file.h"

namespace tidewrack::bindings {

namespace {

const char *const NAMES[] = {"input_path",
                             "output_path",
                             "quarantine_path",
                             "repairs_path",
                             "delimiter",
                             "quote_char",
                             "fill_ragged_rows",
                             "merge_overflow",
                             "expected_columns",
                             "repair_quotes",
                             "recover_unclosed_quotes",
                             "encoding",
                             "threads",
                             "progress",
                             "align_columns"};
constexpr std::size_t OPTIONS_AT = 4;
constexpr unsigned MAX_THREADS = 256;
constexpr std::size_t MIN_PART_SIZE = std::size_t{2} << 20;
// The paths may come by position, the options by keyword only.
ParameterList parameters("", "salvage", NAMES, 2, OPTIONS_AT);

template <std::uint64_t SalvageCounts::*Field> PyObject *count(const SalvageCounts &counts) {
  return PyLong_FromUnsignedLongLong(counts.*Field);
}

PyObject *delimiter(const SalvageCounts &counts) {
  return PyUnicode_FromOrdinal(static_cast<int>(counts.detected_delimiter));
}

PyObject *encoding(const SalvageCounts &counts) {
  return PyUnicode_FromStringAndSize(counts.encoding.data(),
                                     static_cast<Py_ssize_t>(counts.encoding.size()));
}

struct Entry {
  const char *key;
  PyObject *(*make)(const SalvageCounts &);
};

// The returned dict: the six values of the classic summary, under their names
// and in their order, then the repair counters.
constexpr Entry ENTRIES[] = {
    {"total_rows", count<&SalvageCounts::total_rows>},
    {"salvaged_rows", count<&SalvageCounts::salvaged_rows>},
    {"repaired_rows", count<&SalvageCounts::repaired_rows>},
    {"quarantined_rows", count<&SalvageCounts::quarantined_rows>},
    {"detected_delimiter", delimiter},
    {"inferred_columns", count<&SalvageCounts::inferred_columns>},
    {"padded_rows", count<&SalvageCounts::padded_rows>},
    {"merged_rows", count<&SalvageCounts::merged_rows>},
    {"quote_repairs", count<&SalvageCounts::quote_repairs>},
    {"unclosed_quotes", count<&SalvageCounts::unclosed_quotes>},
    {"decoded_bytes", count<&SalvageCounts::decoded_bytes>},
    {"replaced_bytes", count<&SalvageCounts::replaced_bytes>},
    {"encoding", encoding},
};

PyObject *new_counts_dict(const SalvageCounts &counts) {
  PyPtr dict(PyDict_New());
  if (!dict) {
    return nullptr;
  }
  for (const Entry &entry : ENTRIES) {
    PyPtr value(entry.make(counts));
    if (!value || PyDict_SetItemString(dict.get(), entry.key, value.get()) != 0) {
      return nullptr;
    }
  }
  return dict.release();
}

struct Destination {
  const char *parameter;
  const std::string *path; // nullptr: not written
};

// "a and b are the same file" for the first two destinations that are one
// file, where the later would overwrite the earlier; empty when none are.
std::string same_destinations(std::span<const Destination> destinations) {
  for (std::size_t i = 0; i < destinations.size(); ++i) {
    for (std::size_t j = i + 1; j < destinations.size(); ++j) {
      const Destination &first = destinations[i];
      const Destination &second = destinations[j];
      if (first.path && second.path && same_file(*first.path, *second.path)) {
        return std::string(first.parameter) + " and " + second.parameter + " are the same file";
      }
    }
  }
  return {};
}

} // namespace

PyObject *salvage_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    std::string input_path;
    std::string output_path;
    std::optional<std::string> quarantine_path;
    std::optional<std::string> repairs_path;
    SalvageOptions options;
    bool recover_unclosed_quotes = true;
    std::string encoding_name;
    std::optional<std::uint64_t> threads;
    PyObject *progress = nullptr;
    bool align_columns = true;
    if (!parameters.bind(args, nargs, kwnames, values) ||
        !convert_text(values[0], "input_path", input_path) ||
        !convert_text(values[1], "output_path", output_path) ||
        !convert_optional_text(values[2], "quarantine_path", quarantine_path) ||
        !convert_optional_text(values[3], "repairs_path", repairs_path) ||
        !convert_salvage_options(std::span<PyObject *const, SALVAGE_OPTION_PARAMETERS>(
                                     values.data() + OPTIONS_AT, SALVAGE_OPTION_PARAMETERS),
                                 options) ||
        !convert_flag(values[OPTIONS_AT + SALVAGE_OPTION_PARAMETERS], "recover_unclosed_quotes",
                      true, recover_unclosed_quotes) ||
        !convert_text(values[OPTIONS_AT + SALVAGE_OPTION_PARAMETERS + 1], "encoding", "auto",
                      encoding_name) ||
        !convert_optional_count(values[OPTIONS_AT + SALVAGE_OPTION_PARAMETERS + 2], "threads",
                                threads) ||
        !convert_optional_callable(values[OPTIONS_AT + SALVAGE_OPTION_PARAMETERS + 3], "progress",
                                   progress) ||
        !convert_flag(values[OPTIONS_AT + SALVAGE_OPTION_PARAMETERS + 4], "align_columns", true,
                      align_columns)) {
      return nullptr;
    }
    if (threads && (*threads < 1 || *threads > MAX_THREADS)) {
      PyErr_Format(PyExc_ValueError, "threads must be between 1 and %u", MAX_THREADS);
      return nullptr;
    }
    options.encoding = input_encoding_named(encoding_name);
    if (!options.encoding) {
      PyErr_Format(PyExc_ValueError, "unknown encoding: %R",
                   values[OPTIONS_AT + SALVAGE_OPTION_PARAMETERS + 1]);
      return nullptr;
    }
    if (std::string_view problem = unreadable_options(options); !problem.empty()) {
      PyErr_SetString(PyExc_ValueError, std::string(problem).c_str());
      return nullptr;
    }
    if (recover_unclosed_quotes) {
      options.unclosed_quote_recovery = QuoteRecoveryLimits{};
    }
    options.align_columns = align_columns;
    const std::array<Destination, 3> destinations = {
        {{"output_path", &output_path},
         {"quarantine_path", quarantine_path ? &*quarantine_path : nullptr},
         {"repairs_path", repairs_path ? &*repairs_path : nullptr}}};
    std::optional<Result<SalvageCounts>> result;
    std::string clash;
    bool progress_failed = false;
    {
      // Every argument is a C++ value now (the progress callable is kept alive
      // by the call): other threads may run meanwhile.
      DetachedThread detached;
      clash = same_destinations(destinations);
      if (clash.empty()) {
        SignalPoll poll(detached);
        ProgressCallback report(detached, progress);
        auto stop = [&](bool signalled) { return report.failed() || poll(signalled); };
        const unsigned thread_count = threads ? static_cast<unsigned>(*threads) : available_cores();
        // Each thread's part of a block stays large enough to be worth a thread.
        const std::size_t block_size =
            std::max(SALVAGE_BLOCK_SIZE, std::size_t{thread_count} * MIN_PART_SIZE);
        result.emplace(salvage_file(input_path, output_path, quarantine_path, options, repairs_path,
                                    StopPoll(stop), ProgressSink(report), block_size,
                                    thread_count));
        if (result->ok()) {
          report.finish();
        }
        progress_failed = report.failed();
      }
    }
    if (!clash.empty()) {
      PyErr_SetString(PyExc_ValueError, clash.c_str());
      return nullptr;
    }
    if (progress_failed) {
      return nullptr; // its exception (or a signal handler's) is pending
    }
    if (!result->ok()) {
      raise_file_error(result->error());
      return nullptr;
    }
    return new_counts_dict(result->value());
  });
}

const char SALVAGE_DOC[] =
    "salvage(input_path, output_path, quarantine_path=None, repairs_path=None, *, "
    "delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, "
    "expected_columns=None, repair_quotes=True, recover_unclosed_quotes=True, "
    "encoding=\"auto\", threads=None, progress=None, align_columns=True)\n"
    "--\n"
    "\n"
    "Salvages a CSV file into a clean file, with the rows set aside in the\n"
    "quarantine file and every change to the data listed in the repair log\n"
    "(line_start,line_end,action,detail), each when its path is given.\n"
    "\n"
    "Options as for _tidewrack_backend.salvage_file, plus recover_unclosed_quotes:\n"
    "an opening quote whose field would swallow the lines after it, when those\n"
    "lines read as rows of the expected width, is read as text; and encoding:\n"
    "\"auto\" (byte-order mark, UTF-16 by its NUL bytes, else UTF-8 with other\n"
    "bytes read as cp1252), \"utf-8\", \"cp1252\", \"latin-1\", \"utf-16\",\n"
    "\"utf-16-le\", \"utf-16-be\", \"utf-32\", ...; threads: how many threads\n"
    "reconcile at once (None: one per available core; the files are the same\n"
    "for every count); and progress: a callable given the count of input bytes\n"
    "done every few MB (at most every 50 ms) and at the end; an exception it\n"
    "raises stops the salvage and propagates; align_columns: a row of another\n"
    "width is brought to it by the joins, drops, splits or inserted empty cells\n"
    "(or the stray quote read as text) that fit the columns' profiles clearly\n"
    "best, else merged into the last column or padded at the end.\n"
    "\n"
    "Returns a dict of the counters: the six of the classic summary, then\n"
    "padded_rows, merged_rows, quote_repairs, unclosed_quotes, decoded_bytes,\n"
    "replaced_bytes and the encoding read. Raises the\n"
    "OSError subclass of a file failure with errno and filename, and ValueError\n"
    "for options that cannot give a readable file or two outputs that are one file.";

} // namespace tidewrack::bindings
