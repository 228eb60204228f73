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
#include "bindings/common/reading_options.h"
#include "bindings/common/signal_poll.h"
#include "bindings/native/chunk_supply.h"
#include "bindings/native/contradiction.h"
#include "bindings/native/counts_dict.h"
#include "bindings/native/functions.h"
#include "bindings/native/progress_callback.h"
#include "io/file_io.h"
#include "salvage/salvage_file.h"

namespace tidewrack::bindings {

namespace {

constexpr const char *PATHS[] = {"input_path", "output_path", "quarantine_path", "repairs_path"};
constexpr const char *CALL[] = {"threads", "progress", "input_chunks"};
constexpr auto PARAMETERS = option_parameters(PATHS, PACKAGE_OPTIONS, CALL);
// The paths may come by position, the options by keyword only.
ParameterList parameters("", "salvage", PARAMETERS.names, 2, std::size(PATHS));

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
    std::optional<std::uint64_t> threads;
    PyObject *progress = nullptr;
    PyPtr chunks;
    if (!parameters.bind(args, nargs, kwnames, values)) {
      return nullptr;
    }
    const auto paths = PARAMETERS.leading(values);
    const auto call = PARAMETERS.trailing(values);
    if (!convert_text(paths[0], "input_path", input_path) ||
        !convert_text(paths[1], "output_path", output_path) ||
        !convert_optional_text(paths[2], "quarantine_path", quarantine_path) ||
        !convert_optional_text(paths[3], "repairs_path", repairs_path) ||
        !convert_package_options(PARAMETERS.options(values), options) ||
        !convert_optional_count(call[0], "threads", threads) ||
        !convert_optional_callable(call[1], "progress", progress) ||
        !convert_optional_iterator(call[2], "input_chunks", chunks)) {
      return nullptr;
    }
    if (threads && (*threads < 1 || *threads > MAX_THREADS)) {
      PyErr_Format(PyExc_ValueError, "threads must be between 1 and %u", MAX_THREADS);
      return nullptr;
    }
    const std::array<Destination, 3> destinations = {
        {{"output_path", &output_path},
         {"quarantine_path", quarantine_path ? &*quarantine_path : nullptr},
         {"repairs_path", repairs_path ? &*repairs_path : nullptr}}};
    std::optional<Result<SalvageCounts>> result;
    std::string clash;
    bool progress_failed = false;
    std::optional<ChunkSupply> supply; // outlives the detached work: it owns references
    if (chunks) {
      supply.emplace(chunks.get());
    }
    {
      // Every argument is a C++ value now (the progress callable is kept alive
      // by the call): other threads may run meanwhile.
      DetachedThread detached;
      clash = same_destinations(destinations);
      if (clash.empty()) {
        SignalPoll poll(detached);
        ProgressCallback report(detached, progress);
        auto stop = [&](bool signalled) {
          return report.failed() || (supply && supply->failed()) || poll(signalled);
        };
        const InputSource input =
            supply ? InputSource(input_path, ByteSupply(*supply)) : InputSource(input_path);
        const unsigned thread_count = threads ? static_cast<unsigned>(*threads) : available_cores();
        const std::size_t block_size = block_size_for(thread_count);
        result.emplace(salvage_file(input, output_path, quarantine_path, options, repairs_path,
                                    StopPoll(stop), ProgressSink(report), block_size,
                                    thread_count));
        if (result->ok()) {
          report.finish();
        }
        progress_failed = report.failed() || (supply && supply->failed());
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
      if (result->error().kind() == SalvageError::Kind::Contradiction) {
        raise_contradiction(result->error());
      } else {
        raise_file_error(result->error());
      }
      return nullptr;
    }
    return new_counts_dict(result->value());
  });
}

namespace {

constexpr auto DOC = document([](DocWriter &write) {
  write("salvage(input_path, output_path, quarantine_path=None, repairs_path=None, *, ");
  write(PACKAGE_OPTIONS);
  write(", threads=None, progress=None, input_chunks=None)\n"
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
        "raises stops the salvage and propagates; input_chunks: an iterable of\n"
        "bytes read as the input instead of the file at input_path, which then\n"
        "only names it (an exception it raises stops the salvage and propagates).\n"
        "\n"
        "Without a delimiter, detect_dialect=True detects the dialect (quote,\n"
        "escape, blanks after delimiters, # comment lines, preamble lines, width)\n"
        "instead of the delimiter alone, but for what is given of it (a quote_char\n"
        "other than '\"', quoting=False, escape_char, skip_blanks, comment_prefix,\n"
        "preamble_lines: then the width is inferred as for a delimiter given; two of\n"
        "the delimiter, quote and escape character alike raise the package's\n"
        "OptionError). quoting=False reads no quote\n"
        "character, escape_char takes the character after it literally,\n"
        "skip_blanks leaves out blanks after a delimiter, lines starting with\n"
        "comment_prefix and the first preamble_lines lines are left out of the\n"
        "table (and logged). output_quote_char: the clean file's quote character\n"
        "(default: quote_char). align_columns: a row of another width is brought\n"
        "to it by the joins, drops, splits or inserted empty cells (or the stray\n"
        "quote read as text) that fit the columns' profiles clearly best, else\n"
        "merged into the last column or padded at the end.\n"
        "\n"
        "Returns a dict of the counters: the six of the classic summary, then\n"
        "padded_rows, merged_rows, quote_repairs, unclosed_quotes, decoded_bytes,\n"
        "replaced_bytes and the encoding read, then the dialect read (quote_char,\n"
        "escape_char: None for none; skip_blanks, comment_prefix, header_rows,\n"
        "confidence), the comment and preamble lines left out, and the clean\n"
        "file's output_quote_char. Raises the\n"
        "OSError subclass of a file failure with errno and filename, and ValueError\n"
        "for options that cannot give a readable file or two outputs that are one file.");
});

} // namespace

const char *const SALVAGE_DOC = DOC.data();

} // namespace tidewrack::bindings
