#include "base/byte_scan.h"
#include "bindings/native/functions.h"

namespace tidewrack::bindings {

PyObject *simd_function(PyObject *, PyObject *) {
  return PyUnicode_FromString(block_classifier_name());
}

const char SIMD_DOC[] = "simd()\n"
                        "--\n"
                        "\n"
                        "The instructions the parser uses to classify input bytes on this\n"
                        "processor: \"avx2\", \"sse2\" or \"scalar\".";

} // namespace tidewrack::bindings
