#include "bindings/common/os_error.h"

#include <cerrno>
#include <string>

#include "bindings/common/py_ptr.h"

namespace tidewrack::bindings {

namespace {

PyObject *reader_error_class(int error_number) {
  switch (error_number) {
  case ENOENT:
    return PyExc_FileNotFoundError;
  case EACCES:
  case EPERM:
    return PyExc_PermissionError;
  case ECONNREFUSED:
    return PyExc_ConnectionRefusedError;
  case ECONNRESET:
    return PyExc_ConnectionResetError;
  case ECONNABORTED:
    return PyExc_ConnectionAbortedError;
  case EPIPE:
    return PyExc_BrokenPipeError;
  case EEXIST:
    return PyExc_FileExistsError;
  case EAGAIN:
    return PyExc_BlockingIOError;
  case ENOTDIR:
    return PyExc_NotADirectoryError;
  case EISDIR:
    return PyExc_IsADirectoryError;
  case ETIMEDOUT:
    return PyExc_TimeoutError;
  case EINTR:
    return PyExc_InterruptedError;
  case ENOMEM:
    return PyExc_MemoryError;
  default:
    return PyExc_OSError;
  }
}

// A single str argument: the interpreter makes the instance with it, so no
// errno, strerror or filename is filled in and no subclass is picked.
void raise_with_text(PyObject *exception_class, const SalvageError &error) {
  std::string text = error.display();
  PyPtr message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) {
    PyErr_SetObject(exception_class, message.get());
  }
}

} // namespace

void raise_file_error(const SalvageError &error) {
  if (error.kind() == SalvageError::Kind::Interrupted) {
    return; // as above
  }
  const std::string &path = error.path();
  // The path came from a str as UTF-8; anything else is shown escaped, not lost.
  PyPtr filename(path.empty()
                     ? Py_NewRef(Py_None)
                     : PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()),
                                            "surrogateescape"));
  std::string text = error.description();
  PyPtr description(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!filename || !description) {
    return;
  }
  // OSError picks the subclass of the number itself, as OSError(2, ...) does;
  // an I/O-layer message has no number (errno None).
  PyPtr number(error.os_error() != 0 ? PyLong_FromLong(error.os_error()) : Py_NewRef(Py_None));
  PyPtr exception(number ? PyObject_CallFunctionObjArgs(PyExc_OSError, number.get(),
                                                        description.get(), filename.get(), nullptr)
                         : nullptr);
  if (exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.get())), exception.get());
  }
}

void raise_salvage_file_error(const SalvageError &error) {
  if (error.kind() == SalvageError::Kind::Interrupted) {
    return; // SignalPoll stopped the work: the handler's exception is pending
  }
  raise_with_text(PyExc_OSError, error);
}

void raise_reader_error(const SalvageError &error) {
  if (error.kind() == SalvageError::Kind::Interrupted) {
    return; // as above
  }
  raise_with_text(reader_error_class(error.os_error()), error);
}

} // namespace tidewrack::bindings
