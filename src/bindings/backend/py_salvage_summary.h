#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "salvage/outcome.h"

namespace tidewrack::bindings {

// The six values a SalvageSummary holds, in declaration order.
struct SummaryValues {
  std::uint64_t total_rows = 0;
  std::uint64_t salvaged_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::string detected_delimiter; // UTF-8 text of one character
  std::uint64_t inferred_columns = 0;

  static SummaryValues from_counts(const SalvageCounts &counts);
};

// A new SalvageSummary type belonging to `module`; nullptr with an exception set.
PyObject *make_salvage_summary_type(PyObject *module);

// A new SalvageSummary of `type` holding `values`; nullptr with an exception set.
PyObject *new_salvage_summary(PyTypeObject *type, SummaryValues values);

} // namespace tidewrack::bindings
