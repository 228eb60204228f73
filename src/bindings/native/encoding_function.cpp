#include <string_view>

#include "bindings/common/cpp_boundary.h"
#include "bindings/native/functions.h"
#include "encoding/detect.h"
#include "encoding/encoding.h"

namespace tidewrack::bindings {

PyObject *detect_encoding_function(PyObject *, PyObject *head) {
  return without_cpp_exceptions<PyObject *>(nullptr, [&]() -> PyObject * {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(head)) {
      PyErr_Format(PyExc_TypeError, "detect_encoding() argument must be bytes, not %T", head);
      return nullptr;
    }
    if (PyBytes_AsStringAndSize(head, &data, &size) < 0) {
      return nullptr;
    }
    const Detection found = detect_encoding(std::string_view(data, static_cast<std::size_t>(size)));
    const std::string_view name = encoding_name(found.encoding);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}

const char DETECT_ENCODING_DOC[] =
    "detect_encoding(head)\n"
    "--\n"
    "\n"
    "The encoding the auto policy reads an input starting with the bytes\n"
    "`head` in: \"utf-8\" (bytes that are not UTF-8 then read as cp1252),\n"
    "\"utf-16-le\", \"utf-16-be\", \"utf-32-le\" or \"utf-32-be\", chosen by a\n"
    "byte-order mark or a pattern of NUL bytes in the first 4096 bytes.";

} // namespace tidewrack::bindings
