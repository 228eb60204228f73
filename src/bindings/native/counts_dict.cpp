#include "bindings/native/counts_dict.h"

#include "bindings/common/py_ptr.h"
#include "bindings/native/dialect_values.h"

namespace tidewrack::bindings {

namespace {

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

template <std::uint8_t SalvageCounts::*Field> PyObject *character(const SalvageCounts &counts) {
  return character_or_none(counts.*Field);
}

PyObject *comment_prefix(const SalvageCounts &counts) {
  return text_or_none(counts.comment_prefix);
}

PyObject *skip_blanks(const SalvageCounts &counts) {
  return PyBool_FromLong(counts.skip_blanks ? 1 : 0);
}

PyObject *confidence(const SalvageCounts &counts) {
  return PyFloat_FromDouble(counts.confidence);
}

PyObject *notes(const SalvageCounts &counts) {
  return text_list(counts.notes);
}

struct Entry {
  const char *key;
  PyObject *(*make)(const SalvageCounts &);
};

// The returned dict: the six values of the classic summary, under their names
// and in their order, then the repair counters, then the dialect read.
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
    {"quote_char", character<&SalvageCounts::quote_char>},
    {"escape_char", character<&SalvageCounts::escape_char>},
    {"skip_blanks", skip_blanks},
    {"comment_prefix", comment_prefix},
    {"header_rows", count<&SalvageCounts::header_rows>},
    {"confidence", confidence},
    {"notes", notes},
    {"comment_lines", count<&SalvageCounts::comment_lines>},
    {"preamble_lines", count<&SalvageCounts::preamble_lines>},
    {"output_quote_char", character<&SalvageCounts::output_quote_char>},
};

} // namespace

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

} // namespace tidewrack::bindings
