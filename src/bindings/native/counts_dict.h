#pragma once

#include <Python.h>

#include "salvage/outcome.h"

namespace tidewrack::bindings {

// The counters of a salvage as a dict: the six values of the classic summary,
// under their names and in their order, then the repair counters and the
// encoding read.
PyObject *new_counts_dict(const SalvageCounts &counts);

} // namespace tidewrack::bindings
