#include "bindings/native/counts_dict.h"

#include "bindings/common/py_ptr.h"

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
