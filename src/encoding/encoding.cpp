#include "encoding/encoding.h"

namespace tidewrack {

std::string_view encoding_name(Encoding encoding) {
  switch (encoding) {
  case Encoding::Utf8:
  case Encoding::Utf8Auto:
    return "utf-8";
  case Encoding::Cp1252:
    return "cp1252";
  case Encoding::Latin1:
    return "latin-1";
  case Encoding::Utf16Le:
    return "utf-16-le";
  case Encoding::Utf16Be:
    return "utf-16-be";
  case Encoding::Utf32Le:
    return "utf-32-le";
  case Encoding::Utf32Be:
    return "utf-32-be";
  }
  return "utf-8";
}

} // namespace tidewrack
