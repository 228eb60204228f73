#include "bindings/backend/py_salvage_summary.h"

#include <new>
#include <utility>

#include "base/utf8.h"
#include "bindings/common/py_ptr.h"

namespace tidewrack::bindings {

namespace {

// An immutable snapshot: any number of threads may read it at once.
struct PySalvageSummary {
  PyObject ob_base; // the object header (PyObject_HEAD)
  SummaryValues values;
};

PySalvageSummary *as_summary(PyObject *self) {
  return reinterpret_cast<PySalvageSummary *>(self);
}

std::string code_point_as_utf8(char32_t code_point) {
  if (code_point < 0x100) {
    return byte_as_utf8(static_cast<unsigned char>(code_point));
  }
  std::string text;
  if (code_point < 0x800) {
    text += static_cast<char>(0xC0 | (code_point >> 6));
  } else if (code_point < 0x10000) {
    text += static_cast<char>(0xE0 | (code_point >> 12));
    text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (code_point >> 18));
    text += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  }
  text += static_cast<char>(0x80 | (code_point & 0x3F));
  return text;
}

PyObject *new_text(const std::string &text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

template <std::uint64_t SummaryValues::*Field> PyObject *get_count(PyObject *self, void *) {
  return PyLong_FromUnsignedLongLong(as_summary(self)->values.*Field);
}

PyObject *get_detected_delimiter(PyObject *self, void *) {
  return new_text(as_summary(self)->values.detected_delimiter);
}

bool set_entry(PyObject *dict, const char *key, PyPtr value) {
  if (!value) {
    return false;
  }
  PyPtr name(PyUnicode_FromString(key));
  return name && PyDict_SetItem(dict, name.get(), value.get()) == 0;
}

PyObject *to_dict(PyObject *self, PyObject *) {
  const SummaryValues &values = as_summary(self)->values;
  PyPtr dict(PyDict_New());
  if (!dict ||
      !set_entry(dict.get(), "total_rows", PyPtr(PyLong_FromUnsignedLongLong(values.total_rows))) ||
      !set_entry(dict.get(), "salvaged_rows",
                 PyPtr(PyLong_FromUnsignedLongLong(values.salvaged_rows))) ||
      !set_entry(dict.get(), "repaired_rows",
                 PyPtr(PyLong_FromUnsignedLongLong(values.repaired_rows))) ||
      !set_entry(dict.get(), "quarantined_rows",
                 PyPtr(PyLong_FromUnsignedLongLong(values.quarantined_rows))) ||
      !set_entry(dict.get(), "detected_delimiter", PyPtr(new_text(values.detected_delimiter))) ||
      !set_entry(dict.get(), "inferred_columns",
                 PyPtr(PyLong_FromUnsignedLongLong(values.inferred_columns)))) {
    return nullptr;
  }
  return dict.release();
}

PyObject *repr(PyObject *self) {
  const SummaryValues &values = as_summary(self)->values;
  // Through a str object: a NUL delimiter must not end the text.
  PyPtr delimiter(new_text(values.detected_delimiter));
  if (!delimiter) {
    return nullptr;
  }
  return PyUnicode_FromFormat("<SalvageSummary total_rows=%llu salvaged_rows=%llu "
                              "repaired_rows=%llu quarantined_rows=%llu delimiter='%U' "
                              "inferred_columns=%llu>",
                              static_cast<unsigned long long>(values.total_rows),
                              static_cast<unsigned long long>(values.salvaged_rows),
                              static_cast<unsigned long long>(values.repaired_rows),
                              static_cast<unsigned long long>(values.quarantined_rows),
                              delimiter.get(),
                              static_cast<unsigned long long>(values.inferred_columns));
}

int traverse(PyObject *self, visitproc visit, void *arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

void dealloc(PyObject *self) {
  PyObject_GC_UnTrack(self);
  as_summary(self)->values.~SummaryValues();
  PyTypeObject *type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef getters[] = {
    {"total_rows", get_count<&SummaryValues::total_rows>, nullptr, nullptr, nullptr},
    {"salvaged_rows", get_count<&SummaryValues::salvaged_rows>, nullptr, nullptr, nullptr},
    {"repaired_rows", get_count<&SummaryValues::repaired_rows>, nullptr, nullptr, nullptr},
    {"quarantined_rows", get_count<&SummaryValues::quarantined_rows>, nullptr, nullptr, nullptr},
    {"detected_delimiter", get_detected_delimiter, nullptr, nullptr, nullptr},
    {"inferred_columns", get_count<&SummaryValues::inferred_columns>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"to_dict", to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_repr, reinterpret_cast<void *>(repr)},
    {Py_tp_doc, const_cast<char *>("Python-exposed summary of a salvage operation.")},
    {Py_tp_getset, getters},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.SalvageSummary",
    sizeof(PySalvageSummary),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

} // namespace

SummaryValues SummaryValues::from_counts(const SalvageCounts &counts) {
  return SummaryValues{counts.total_rows,
                       counts.salvaged_rows,
                       counts.repaired_rows,
                       counts.quarantined_rows,
                       code_point_as_utf8(counts.detected_delimiter),
                       counts.inferred_columns};
}

PyObject *make_salvage_summary_type(PyObject *module) {
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

PyObject *new_salvage_summary(PyTypeObject *type, SummaryValues values) {
  PyObject *self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    return nullptr;
  }
  new (&as_summary(self)->values) SummaryValues(std::move(values));
  return self;
}

} // namespace tidewrack::bindings
