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

// The SalvageSummary type, made on first need and kept for the process
// (borrowed); nullptr with an exception set when it cannot be made.
PyTypeObject *salvage_summary_type();

// A new SalvageSummary holding `values`; nullptr with an exception set.
PyObject *new_salvage_summary(SummaryValues values);

} // namespace tidewrack::bindings
