#include "bindings/backend/py_salvage_reader.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "base/salvage_error.h"
#include "base/utf8.h"
#include "bindings/backend/module_state.h"
#include "bindings/backend/py_salvage_summary.h"
#include "bindings/common/access_conflict.h"
#include "bindings/common/access_flag.h"
#include "bindings/common/argument_binding.h"
#include "bindings/common/cpp_boundary.h"
#include "bindings/common/detached_thread.h"
#include "bindings/common/os_error.h"
#include "bindings/common/py_ptr.h"
#include "bindings/common/signal_poll.h"
#include "io/file_io.h"
#include "output/row_store.h"
#include "salvage/salvage_slice.h"

namespace tidewrack::bindings {

namespace {

// The rows and counters are written once, before the object is handed out,
// and only read afterwards; `position` changes under exclusive access only.
struct PySalvageReader {
  PyObject ob_base; // the object header (PyObject_HEAD)
  RowStore rows;
  SummaryValues summary;
  std::uint64_t position;
  AccessFlag access;
};

PySalvageReader *as_reader(PyObject *self) {
  return reinterpret_cast<PySalvageReader *>(self);
}

// What the work done without the interpreter produced.
struct Salvaged {
  std::optional<SalvageError> error; // a file error, or Interrupted
  bool read_out_of_memory = false;
  RowStore rows;
  SalvageCounts counts;
};

// Pure C++: runs detached from the interpreter.
void read_and_salvage(const std::string &file_path, const SalvageOptions &options, StopPoll stop,
                      Salvaged &salvaged) {
  std::string input;
  try {
    Result<std::string> read = read_whole_file(file_path, stop);
    if (!read.ok()) {
      salvaged.error.emplace(std::move(read.error()));
      return;
    }
    input = std::move(read.value());
  } catch (const std::bad_alloc &) {
    salvaged.read_out_of_memory = true;
    return;
  } catch (const std::length_error &) {
    salvaged.read_out_of_memory = true;
    return;
  }
  Result<SalvageOutcome> outcome = salvage_slice(input, options, stop);
  if (!outcome.ok()) {
    salvaged.error.emplace(std::move(outcome.error()));
    return;
  }
  salvaged.rows = std::move(outcome.value().clean_rows);
  salvaged.counts = outcome.value().counts;
}

PyObject *new_field_text(std::string_view field) {
  auto size = static_cast<Py_ssize_t>(field.size());
  if (size == 0) {
    return PyUnicode_New(0, 0); // the shared empty str
  }
  if (is_ascii(field.data(), field.size())) {
    PyObject *text = PyUnicode_New(size, 127);
    if (text != nullptr) {
      std::memcpy(PyUnicode_DATA(text), field.data(), field.size());
    }
    return text;
  }
  return PyUnicode_DecodeUTF8(field.data(), size, nullptr);
}

PyObject *row_as_list(const RowView &row) {
  // Padding is stored as a count, so a row may claim more fields than any list holds.
  if (row.size() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    return PyErr_NoMemory();
  }
  PyPtr list(PyList_New(static_cast<Py_ssize_t>(row.size())));
  if (!list) {
    return nullptr;
  }
  Py_ssize_t filled = 0;
  bool failed = false;
  row.for_each_field([&](std::string_view field) {
    if (failed) {
      return;
    }
    PyObject *text = new_field_text(field);
    if (text == nullptr) {
      failed = true;
      return;
    }
    PyList_SET_ITEM(list.get(), filled++, text);
  });
  return failed ? nullptr : list.release();
}

PyObject *iterate(PyObject *self) {
  SharedAccess access(as_reader(self)->access);
  if (!access.held()) {
    raise_shared_conflict();
    return nullptr;
  }
  return Py_NewRef(self);
}

PyObject *next_row(PyObject *self) {
  PySalvageReader *reader = as_reader(self);
  std::uint64_t index = 0;
  {
    ExclusiveAccess access(reader->access);
    if (!access.held()) {
      raise_exclusive_conflict();
      return nullptr;
    }
    if (reader->position >= reader->rows.size()) {
      return nullptr; // exhausted: StopIteration without an exception object
    }
    index = reader->position++;
  }
  // The stored rows never change, so they are read outside the exclusive section.
  return row_as_list(reader->rows.row(static_cast<std::size_t>(index)));
}

Py_ssize_t row_count(PyObject *self) {
  PySalvageReader *reader = as_reader(self);
  SharedAccess access(reader->access);
  if (!access.held()) {
    raise_shared_conflict();
    return -1;
  }
  return static_cast<Py_ssize_t>(reader->rows.size());
}

PyObject *enter_context(PyObject *self, PyObject *) {
  SharedAccess access(as_reader(self)->access);
  if (!access.held()) {
    raise_shared_conflict();
    return nullptr;
  }
  return Py_NewRef(self);
}

const char *const EXIT_NAMES[] = {"_exc_type", "_exc_val", "_exc_tb"};
ParameterList exit_parameters("SalvageReader", "__exit__", EXIT_NAMES, 0);

PyObject *exit_context(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    if (!exit_parameters.bind(args, nargs, kwnames, values)) {
      return nullptr;
    }
    SharedAccess access(as_reader(self)->access);
    if (!access.held()) {
      raise_shared_conflict();
      return nullptr;
    }
    Py_RETURN_FALSE; // an exception raised in the block propagates
  });
}

PyObject *get_summary(PyObject *self, void *) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    PySalvageReader *reader = as_reader(self);
    ModuleState *state = static_cast<ModuleState *>(PyType_GetModuleState(Py_TYPE(self)));
    PyTypeObject *summary_type = state == nullptr ? nullptr : live_type(state->summary_type);
    if (summary_type == nullptr) {
      return nullptr;
    }
    std::optional<SummaryValues> copy;
    {
      SharedAccess access(reader->access);
      if (!access.held()) {
        raise_shared_conflict();
        return nullptr;
      }
      copy.emplace(reader->summary);
    }
    return new_salvage_summary(summary_type, std::move(*copy));
  });
}

ParameterList new_parameters("SalvageReader", "__new__", READER_PARAMETERS.names, 1);

PyObject *new_reader(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    if (!new_parameters.bind(args, kwargs, values)) {
      return nullptr;
    }
    std::string file_path;
    SalvageOptions options;
    if (!convert_text(values[0], "file_path", file_path) ||
        !convert_classic_options(READER_PARAMETERS.options(values), options)) {
      return nullptr;
    }
    return new_salvage_reader(type, file_path, options);
  });
}

int traverse(PyObject *self, visitproc visit, void *arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

void dealloc(PyObject *self) {
  PyObject_GC_UnTrack(self);
  PySalvageReader *reader = as_reader(self);
  reader->rows.~RowStore();
  reader->summary.~SummaryValues();
  reader->access.~AccessFlag();
  PyTypeObject *type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"__enter__", enter_context, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit_context)),
     METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"summary", get_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr auto DOC = document([](DocWriter &write) {
  write("SalvageReader(file_path, ");
  write(CLASSIC_OPTIONS);
  write(")\n--\n\nIn-memory streaming reader iterating over salvaged rows.");
});

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(new_reader)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_iter, reinterpret_cast<void *>(iterate)},
    {Py_tp_iternext, reinterpret_cast<void *>(next_row)},
    {Py_mp_length, reinterpret_cast<void *>(row_count)},
    {Py_tp_doc, const_cast<char *>(DOC.data())},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.SalvageReader",
    sizeof(PySalvageReader),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

} // namespace

PyObject *make_salvage_reader_type(PyObject *module) {
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

PyObject *new_salvage_reader(PyTypeObject *type, const std::string &file_path,
                             const SalvageOptions &options) {
  Salvaged salvaged;
  {
    DetachedThread detached;
    SignalPoll poll(detached);
    read_and_salvage(file_path, options, StopPoll(poll), salvaged);
  }
  if (salvaged.read_out_of_memory) {
    PyErr_SetString(PyExc_MemoryError, "out of memory");
    return nullptr;
  }
  if (salvaged.error) {
    raise_reader_error(*salvaged.error);
    return nullptr;
  }
  SummaryValues summary = SummaryValues::from_counts(salvaged.counts);
  PyObject *self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    return nullptr;
  }
  PySalvageReader *reader = as_reader(self);
  new (&reader->rows) RowStore(std::move(salvaged.rows));
  new (&reader->summary) SummaryValues(std::move(summary));
  reader->position = 0;
  new (&reader->access) AccessFlag();
  return self;
}

} // namespace tidewrack::bindings
