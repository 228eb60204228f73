#include <optional>
#include <string>

#include "bindings/common/argument_binding.h"
#include "bindings/common/cpp_boundary.h"
#include "bindings/common/detached_thread.h"
#include "bindings/common/os_error.h"
#include "bindings/common/py_ptr.h"
#include "bindings/common/signal_poll.h"
#include "bindings/native/chunk_supply.h"
#include "bindings/native/dialect_values.h"
#include "bindings/native/functions.h"
#include "encoding/encoding.h"
#include "salvage/salvage_file.h"

namespace tidewrack::bindings {

namespace {

const char *const NAMES[] = {"source", "text", "encoding", "input_chunks"};
ParameterList parameters("", "detect", NAMES, 1, 1);

PyObject *new_dialect_dict(const Dialect &dialect) {
  const ParseRules &rules = dialect.rules;
  PyPtr dict(PyDict_New());
  auto set = [&](const char *key, PyObject *made) {
    PyPtr value(made);
    return value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
  };
  if (!dict || !set("delimiter", PyUnicode_FromOrdinal(dialect.delimiter)) ||
      !set("quote_char", character_or_none(rules.quoting ? dialect.quote_char : 0)) ||
      !set("escape_char", character_or_none(rules.escape.value_or(0))) ||
      !set("skip_blanks", PyBool_FromLong(rules.skip_blanks ? 1 : 0)) ||
      !set("comment_prefix", text_or_none(rules.comment_prefix)) ||
      !set("preamble_lines", PyLong_FromUnsignedLongLong(rules.preamble_lines)) ||
      !set("header_rows", PyLong_FromUnsignedLongLong(dialect.header_rows)) ||
      !set("columns", PyLong_FromUnsignedLongLong(dialect.columns)) ||
      !set("confidence", PyFloat_FromDouble(dialect.confidence)) ||
      !set("notes", text_list(dialect.notes))) {
    return nullptr;
  }
  return dict.release();
}

} // namespace

PyObject *detect_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    std::string source;
    bool text = false;
    std::string encoding_name;
    PyPtr chunks;
    if (!parameters.bind(args, nargs, kwnames, values) ||
        !convert_text(values[0], "source", source) ||
        !convert_flag(values[1], "text", false, text) ||
        !convert_text(values[2], "encoding", "auto", encoding_name) ||
        !convert_optional_iterator(values[3], "input_chunks", chunks)) {
      return nullptr;
    }
    const std::optional<InputEncoding> encoding = input_encoding_named(encoding_name);
    if (!encoding) {
      PyErr_Format(PyExc_ValueError, "unknown encoding: %R", values[2]);
      return nullptr;
    }
    std::optional<Result<Dialect>> result;
    std::optional<ChunkSupply> supply; // outlives the detached work: it owns references
    if (chunks) {
      supply.emplace(chunks.get());
    }
    {
      DetachedThread detached;
      SignalPoll poll(detached);
      auto stop = [&](bool signalled) { return (supply && supply->failed()) || poll(signalled); };
      const InputSource input =
          supply ? InputSource(source, ByteSupply(*supply)) : InputSource(source);
      result.emplace(text ? detect_text_dialect(source, StopPoll(stop))
                          : detect_file_dialect(input, *encoding, StopPoll(stop)));
    }
    if (supply && supply->failed()) {
      return nullptr; // its exception (or a signal handler's) is pending
    }
    if (!result->ok()) {
      raise_file_error(result->error());
      return nullptr;
    }
    return new_dialect_dict(result->value());
  });
}

const char DETECT_DOC[] =
    "detect(source, *, text=False, encoding=\"auto\", input_chunks=None)\n"
    "--\n"
    "\n"
    "The dialect salvage() would read: from the head of the file at the path\n"
    "`source` (decoded by `encoding`), or from `source` itself with text=True;\n"
    "input_chunks: an iterable of bytes read instead of the file, which\n"
    "`source` then only names.\n"
    "Returns a dict: delimiter, quote_char and escape_char (None for none),\n"
    "skip_blanks, comment_prefix (None for none), preamble_lines, header_rows,\n"
    "columns and confidence (0 to 1).";

} // namespace tidewrack::bindings
