#include "bindings/native/py_arrow_scan.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "arrow/arrow_scan.h"
#include "bindings/common/argument_binding.h"
#include "bindings/common/cpp_boundary.h"
#include "bindings/common/detached_thread.h"
#include "bindings/common/os_error.h"
#include "bindings/common/py_ptr.h"
#include "bindings/common/raised_exception.h"
#include "bindings/common/reading_options.h"
#include "bindings/native/chunk_supply.h"
#include "bindings/native/contradiction.h"
#include "bindings/native/counts_dict.h"
#include "salvage/salvage_file.h"

namespace tidewrack::bindings {

namespace {

constexpr char STREAM_CAPSULE[] = "arrow_array_stream";

// The scan's stop poll, progress sink and input chunks (when Python reads the
// input for it). The stream's consumer may read it on any thread, attached or
// not (pyarrow detaches): each call attaches for itself. The exception that
// stops the scan (a signal handler's, as Ctrl-C's KeyboardInterrupt, the
// progress callable's or the chunks') is kept for the owner to raise, as the
// consumer only learns that the stream failed.
class ScanCalls {
public:
  // Asking for signals attaches at most this often, as SignalPoll does.
  static constexpr std::chrono::milliseconds PERIOD{20};

  // Attached; keeps `progress` and `finished` and takes the input from `chunks`
  // (each nullptr: none).
  ScanCalls(PyObject *progress, PyObject *finished, PyObject *chunks)
      : progress_(PyPtr::borrow(progress)), finished_(PyPtr::borrow(finished)) {
    if (chunks != nullptr) {
      chunks_.emplace(chunks, [this] { keep_stopping(); });
    }
  }
  ScanCalls(const ScanCalls &) = delete;
  ScanCalls &operator=(const ScanCalls &) = delete;
  // The stream may be released on any thread, attached or not.
  ~ScanCalls() {
    if (!progress_ && !finished_ && !stopped_by_ && !chunks_) {
      return;
    }
    if (!Py_IsInitialized()) {
      progress_.release(); // the interpreter and its objects are gone
      finished_.release();
      stopped_by_.release();
      if (chunks_) {
        chunks_->abandon();
      }
      return;
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    progress_.reset();
    finished_.reset();
    stopped_by_.reset();
    chunks_.reset();
    PyGILState_Release(state);
  }

  // What the scan reads: the file at `path`, or the chunks, which `path` then names.
  InputSource input(const std::string &path) {
    return chunks_ ? InputSource(path, ByteSupply(*chunks_)) : InputSource(path);
  }

  // The StopPoll: runs the pending signal handlers (only the main thread has any).
  bool operator()(bool signalled) {
    if (stopped_) {
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!signalled && now < next_poll_) {
      return false;
    }
    next_poll_ = now + PERIOD;
    attached([this] {
      if (PyErr_CheckSignals() != 0) {
        keep_stopping();
      }
    });
    return stopped_;
  }

  // The ProgressSink: the engine reports every few MiB, seldom enough for a call each.
  void operator()(std::uint64_t input_bytes_done) {
    if (!progress_ || stopped_) {
      return;
    }
    attached([&] {
      PyPtr done(PyLong_FromUnsignedLongLong(input_bytes_done));
      PyPtr result(done ? PyObject_CallOneArg(progress_.get(), done.get()) : nullptr);
      if (!result) {
        keep_stopping();
      }
    });
  }

  // The OutputCommit: calls `finished` once; what it raises fails the scan
  // with its message and is kept as a stop's exception is.
  Result<std::monostate> operator()() {
    if (!finished_) {
      return std::monostate{};
    }
    std::optional<SalvageError> failure;
    attached([&] {
      const PyPtr finished = std::move(finished_);
      const PyPtr result(PyObject_CallNoArgs(finished.get()));
      if (!result) {
        keep_stopping();
        failure = error_of(stopped_by_.get());
      }
    });
    if (failure) {
      return std::move(*failure);
    }
    return std::monostate{};
  }

  // Attached: a new reference to the exception that stopped the scan, or nullptr.
  PyObject *stopped_by() const {
    const std::lock_guard lock(mutex_);
    return Py_XNewRef(stopped_by_.get());
  }

private:
  template <class Call> void attached(Call &&call) {
    const PyGILState_STATE state = PyGILState_Ensure();
    call();
    PyGILState_Release(state);
  }

  // Attached: an OSError as the engine's file errors are, naming the file (so
  // that consumers see its kind); anything else by its message.
  static SalvageError error_of(PyObject *exception) {
    if (PyErr_GivenExceptionMatches(exception, PyExc_OSError)) {
      const PyPtr number(PyObject_GetAttrString(exception, "errno"));
      const PyPtr file(PyObject_GetAttrString(exception, "filename"));
      const long error_number =
          number && PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : 0;
      const char *path =
          file && PyUnicode_Check(file.get()) ? PyUnicode_AsUTF8(file.get()) : nullptr;
      PyErr_Clear();
      if (error_number > 0 && error_number <= INT_MAX && path != nullptr) {
        return SalvageError::os(static_cast<int>(error_number)).on_file(path);
      }
    }
    const PyPtr text(PyObject_Str(exception));
    const char *message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    return SalvageError::io(message != nullptr ? message : "the outputs could not be put in place");
  }

  // Attached, with an exception being raised: takes it.
  void keep_stopping() {
    PyPtr raised(take_raised_exception());
    const std::lock_guard lock(mutex_);
    stopped_by_ = std::move(raised);
    stopped_ = true;
  }

  PyPtr progress_;
  PyPtr finished_;
  std::optional<ChunkSupply> chunks_;
  std::chrono::steady_clock::time_point next_poll_{};
  bool stopped_ = false; // of the thread that reads
  mutable std::mutex mutex_;
  PyPtr stopped_by_;
};

// The scan is taken once, by whichever thread asks for the stream first; the
// outcome and the calls are shared with the stream, which may outlive the
// object.
struct PyArrowScan {
  PyObject ob_base; // the object header (PyObject_HEAD)
  std::atomic<ArrowScan *> scan;
  std::shared_ptr<ScanOutcome> outcome;
  std::shared_ptr<ScanCalls> calls;
};

PyArrowScan *as_scan(PyObject *self) {
  return reinterpret_cast<PyArrowScan *>(self);
}

constexpr const char *PATH[] = {"path"};
constexpr const char *CALL[] = {"threads",     "batch_rows", "quarantine_path", "repairs_path",
                                "string_view", "progress",   "input_chunks",    "finished"};
constexpr auto PARAMETERS = option_parameters(PATH, PACKAGE_OPTIONS, CALL);
ParameterList new_parameters("ArrowScan", "__new__", PARAMETERS.names, 1, 1);

// Converts the arguments; false with an exception set.
bool convert_arguments(const BoundValues &values, std::string &path, ScanSettings &settings,
                       PyObject *&progress, PyObject *&finished) {
  std::optional<std::uint64_t> threads;
  std::optional<std::uint64_t> batch_rows;
  bool views = false;
  const auto call = PARAMETERS.trailing(values);
  if (!convert_text(values[0], "path", path) ||
      !convert_package_options(PARAMETERS.options(values), settings.options) ||
      !convert_optional_count(call[0], "threads", threads) ||
      !convert_optional_count(call[1], "batch_rows", batch_rows) ||
      !convert_optional_text(call[2], "quarantine_path", settings.quarantine_path) ||
      !convert_optional_text(call[3], "repairs_path", settings.repair_log_path) ||
      !convert_flag(call[4], "string_view", false, views) ||
      !convert_optional_callable(call[5], "progress", progress) ||
      !convert_optional_callable(call[7], "finished", finished)) {
    return false;
  }
  if (threads && (*threads < 1 || *threads > MAX_THREADS)) {
    PyErr_Format(PyExc_ValueError, "threads must be between 1 and %u", MAX_THREADS);
    return false;
  }
  if (batch_rows && (*batch_rows < 1 || *batch_rows > INT32_MAX)) {
    PyErr_SetString(PyExc_ValueError, "batch_rows must be between 1 and 2147483647");
    return false;
  }
  settings.threads = threads ? static_cast<unsigned>(*threads) : available_cores();
  settings.batch_rows = batch_rows ? static_cast<std::size_t>(*batch_rows) : DEFAULT_BATCH_ROWS;
  settings.layout = views ? StringLayout::Views : StringLayout::Offsets;
  settings.block_size = block_size_for(settings.threads);
  return true;
}

void raise_scan_error(const SalvageError &error) {
  if (error.kind() == SalvageError::Kind::Contradiction) {
    raise_contradiction(error);
    return;
  }
  if (error.kind() == SalvageError::Kind::Invalid) {
    PyErr_Format(PyExc_ValueError, "%s: %s", error.path().c_str(), error.display().c_str());
    return;
  }
  raise_file_error(error);
}

PyObject *new_scan(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    std::string path;
    ScanSettings settings;
    PyObject *progress = nullptr;
    PyObject *finished = nullptr;
    PyPtr chunks;
    if (!new_parameters.bind(args, kwargs, values) ||
        !convert_arguments(values, path, settings, progress, finished) ||
        !convert_optional_iterator(PARAMETERS.trailing(values)[6], "input_chunks", chunks)) {
      return nullptr;
    }
    auto outcome = std::make_shared<ScanOutcome>(); // its clock starts here
    auto calls = std::make_shared<ScanCalls>(progress, finished, chunks.get());
    settings.stop = StopPoll(*calls);
    settings.progress = ProgressSink(*calls);
    settings.commit = OutputCommit(*calls);
    std::optional<Result<std::unique_ptr<ArrowScan>>> opened;
    {
      DetachedThread detached;
      opened.emplace(ArrowScan::open(calls->input(path), settings));
    }
    if (!opened->ok()) {
      if (PyObject *stopped_by = calls->stopped_by()) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(stopped_by)), stopped_by);
        Py_DECREF(stopped_by);
      } else {
        raise_scan_error(opened->error());
      }
      return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) {
      return nullptr;
    }
    PyArrowScan *scan = as_scan(self);
    new (&scan->scan) std::atomic<ArrowScan *>(opened->value().release());
    new (&scan->outcome) std::shared_ptr<ScanOutcome>(std::move(outcome));
    new (&scan->calls) std::shared_ptr<ScanCalls>(std::move(calls));
    return self;
  });
}

void destroy_stream_capsule(PyObject *capsule) {
  auto *stream = static_cast<ArrowArrayStream *>(PyCapsule_GetPointer(capsule, STREAM_CAPSULE));
  if (stream == nullptr) {
    PyErr_Clear(); // not ours to report from a destructor
    return;
  }
  if (stream->release != nullptr) {
    stream->release(stream); // never consumed
  }
  std::free(stream);
}

const char *const STREAM_NAMES[] = {"requested_schema"};
ParameterList stream_parameters("ArrowScan", "__arrow_c_stream__", STREAM_NAMES, 0);

PyObject *arrow_c_stream(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    BoundValues values;
    // The columns are strings whatever schema is asked for: the consumer casts.
    if (!stream_parameters.bind(args, nargs, kwnames, values)) {
      return nullptr;
    }
    auto *stream = static_cast<ArrowArrayStream *>(std::malloc(sizeof(ArrowArrayStream)));
    if (stream == nullptr) {
      return PyErr_NoMemory();
    }
    stream->release = nullptr;
    PyPtr capsule(PyCapsule_New(stream, STREAM_CAPSULE, destroy_stream_capsule));
    if (!capsule) {
      std::free(stream);
      return nullptr;
    }
    std::unique_ptr<ArrowScan> scan(as_scan(self)->scan.exchange(nullptr));
    if (!scan) {
      PyErr_SetString(PyExc_RuntimeError,
                      "this scan's stream was taken already: a scan is read once");
      return nullptr;
    }
    export_stream(std::move(scan), as_scan(self)->outcome, as_scan(self)->calls, stream);
    return capsule.release();
  });
}

PyObject *get_counts(PyObject *self, void *) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    const std::optional<ScanOutcome::Finished> finished = as_scan(self)->outcome->finished();
    if (!finished) {
      Py_RETURN_NONE;
    }
    PyPtr counts(new_counts_dict(finished->counts));
    PyPtr elapsed(PyFloat_FromDouble(finished->elapsed_seconds));
    if (!counts || !elapsed ||
        PyDict_SetItemString(counts.get(), "elapsed_seconds", elapsed.get()) != 0) {
      return nullptr;
    }
    return counts.release();
  });
}

PyObject *get_stopped_by(PyObject *self, void *) {
  PyObject *stopped_by = as_scan(self)->calls->stopped_by();
  return stopped_by != nullptr ? stopped_by : Py_NewRef(Py_None);
}

int traverse(PyObject *self, visitproc visit, void *arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

void dealloc(PyObject *self) {
  PyObject_GC_UnTrack(self);
  PyArrowScan *scan = as_scan(self);
  delete scan->scan.load(); // before the calls it refers to
  scan->scan.~atomic();
  scan->outcome.~shared_ptr();
  scan->calls.~shared_ptr();
  PyTypeObject *type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The rows as an Arrow C stream in a PyCapsule; a scan gives one stream."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"counts", get_counts, nullptr,
     "The salvage's counters as a dict (salvage()'s, and elapsed_seconds from the\n"
     "scan's start) once its stream was read to the end, else None.",
     nullptr},
    {"stopped_by", get_stopped_by, nullptr,
     "The exception that stopped the stream, else None: one a signal handler\n"
     "raised (Ctrl-C: KeyboardInterrupt) or progress raised. The stream's\n"
     "consumer only sees it fail (with EINTR): raise this instead.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr auto DOC = document([](DocWriter &write) {
  write("ArrowScan(path, *, ");
  write(PACKAGE_OPTIONS);
  write(", threads=None, batch_rows=65536, quarantine_path=None, repairs_path=None, "
        "string_view=False, progress=None, input_chunks=None, finished=None)\n"
        "--\n"
        "\n"
        "The clean rows that salvage() writes for the same file and options, as Arrow\n"
        "record batches of string columns read as they are asked for. The first clean\n"
        "row names the columns (blank names become \"Unnamed: <i>\", repeated ones get\n"
        ".1, .2, ... suffixes); a batch holds at most batch_rows rows. The file is\n"
        "opened and its dialect settled here: a file failure raises the OSError\n"
        "subclass of its kind, naming the file.\n"
        "\n"
        "quarantine_path and repairs_path, when given, are created here and written\n"
        "as salvage() writes them, as the stream is read; they are complete once it\n"
        "is read to its end. finished: a callable called with no arguments then,\n"
        "before the stream ends (to rename them into place); an exception it raises\n"
        "fails the stream with its message and is kept in stopped_by.\n"
        "\n"
        "string_view=True lays the columns out as Arrow string views (utf8_view), the\n"
        "layout Polars holds strings in, instead of utf8.\n"
        "\n"
        "progress: a callable given the count of input bytes read every few MB and,\n"
        "once the stream is read to its end, the whole input's. On whichever thread\n"
        "reads the stream (or opens the scan, here), the pending signal handlers run\n"
        "every 20 ms or so; an exception that they or progress raise stops the scan:\n"
        "here it propagates, from the stream it is kept in stopped_by and the stream\n"
        "fails. input_chunks: an iterable of bytes read as the input instead of the\n"
        "file at path, which then only names it; an exception it raises stops the\n"
        "scan as progress's does.");
});

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(new_scan)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_doc, const_cast<char *>(DOC.data())},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec spec = {
    "tidewrack._native.ArrowScan",
    sizeof(PyArrowScan),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

} // namespace

PyObject *make_arrow_scan_type(PyObject *module) {
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

} // namespace tidewrack::bindings
