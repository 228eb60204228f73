// Decoding: any cut of the input into blocks gives the text and the changes of
// decoding it whole; the text is well-formed UTF-8; each change points at the
// non-ASCII text it made; and the text matches a plain transcription of each
// encoding (the parser's replacement for UTF-8, valid sequences kept and other
// bytes read one by one as cp1252 for the auto policy, the code points of the
// input for Latin-1, UTF-16 and UTF-32 when nothing was replaced).
//
// Input: the first byte picks the encoding, the second the block length
// (1 to 256 bytes), the rest is the input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "encoding/decoder.h"
#include "fuzz_check.h"

namespace {

using tidewrack::Change;
using tidewrack::ChangeKind;
using tidewrack::Encoding;

struct Decoded {
  std::string text;
  std::vector<Change> changes;
};

Decoded decode(Encoding encoding, std::string_view input, std::size_t block_length) {
  tidewrack::Decoder decoder(encoding);
  Decoded decoded;
  std::size_t from = 0;
  do {
    std::string_view block = input.substr(from, block_length);
    from += block.size();
    if (decoder.decode(block, from == input.size(), decoded.text)) {
      decoded.text += block;
    }
  } while (from < input.size());
  auto pending = decoder.changes().pending();
  decoded.changes.assign(pending.begin(), pending.end());
  return decoded;
}

std::string changes_text(const std::vector<Change> &changes) {
  std::string out;
  for (const Change &change : changes) {
    out += "{" + std::to_string(change.offset) + ", " + std::to_string(change.input_bytes) +
           (change.kind == ChangeKind::Decoded ? " decoded} " : " replaced} ");
  }
  return out;
}

// The code points of well-formed UTF-8.
std::u32string code_points(std::string_view text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
    for (std::size_t k = 1; k < length; ++k) {
      c = (c << 6) | (static_cast<std::uint8_t>(text[i + k]) & 0x3Fu);
    }
    out.push_back(c);
    i += length;
  }
  return out;
}

// The input the code points came from, in a fixed-width encoding.
std::string encoded(Encoding encoding, const std::u32string &text) {
  const bool big = encoding == Encoding::Utf16Be || encoding == Encoding::Utf32Be;
  const std::size_t width = encoding == Encoding::Latin1                                     ? 1
                            : encoding == Encoding::Utf16Le || encoding == Encoding::Utf16Be ? 2
                                                                                             : 4;
  std::string out;
  auto put = [&](char32_t unit) {
    for (std::size_t k = 0; k < width; ++k) {
      out.push_back(static_cast<char>(unit >> (8 * (big ? width - 1 - k : k))));
    }
  };
  for (char32_t c : text) {
    if (width == 2 && c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      c = 0xDC00 + ((c - 0x10000) & 0x3FF);
    }
    put(c);
  }
  return out;
}

// What the auto policy should make of the input, one sequence at a time;
// `outside` counts the bytes that are not part of a valid sequence.
std::string plain_auto(std::string_view input, std::uint64_t &outside) {
  std::string out;
  outside = 0;
  for (std::size_t i = 0; i < input.size();) {
    auto lead = static_cast<std::uint8_t>(input[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    std::string_view sequence = input.substr(i, length);
    if (sequence.size() == length && tidewrack::is_valid_utf8(sequence.data(), length)) {
      out += sequence;
      i += length;
    } else {
      tidewrack::Decoder(Encoding::Cp1252).decode(input.substr(i, 1), true, out);
      ++outside;
      ++i;
    }
  }
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  const auto encoding = static_cast<Encoding>(data[0] % 8);
  const std::size_t block_length = data[1] + 1u;
  const std::string_view input(reinterpret_cast<const char *>(data + 2), size - 2);
  const std::string name(tidewrack::encoding_name(encoding));

  const Decoded whole = decode(encoding, input, input.size() + 1);
  const Decoded split = decode(encoding, input, block_length);
  if (split.text != whole.text || split.changes != whole.changes) {
    fuzz::fail(
        "decoding in blocks of " + std::to_string(block_length) + " is decoding whole", input,
        name + ": whole \"" + fuzz::escaped(whole.text) + "\" " + changes_text(whole.changes) +
            ", in blocks \"" + fuzz::escaped(split.text) + "\" " + changes_text(split.changes));
  }
  const std::string shown =
      name + " gave \"" + fuzz::escaped(whole.text) + "\" " + changes_text(whole.changes);
  if (!fuzz::is_well_formed_utf8(whole.text)) {
    fuzz::fail("decoded text is well-formed UTF-8", input, shown);
  }

  bool replaced = false;
  std::uint64_t changed_bytes = 0;
  for (std::size_t i = 0; i < whole.changes.size(); ++i) {
    const Change &change = whole.changes[i];
    const bool named_page = encoding == Encoding::Cp1252 || encoding == Encoding::Latin1;
    const bool kind_fits =
        !named_page && (change.kind == ChangeKind::Decoded) == (encoding == Encoding::Utf8Auto);
    const bool ordered = i == 0 || whole.changes[i - 1].offset < change.offset;
    const bool points_at_text =
        change.offset < whole.text.size() &&
        static_cast<std::uint8_t>(whole.text[change.offset]) >= 0x80 &&
        (change.kind == ChangeKind::Decoded ||
         std::string_view(whole.text).substr(change.offset).starts_with("\xEF\xBF\xBD"));
    if (!kind_fits || !ordered || !points_at_text || change.input_bytes == 0) {
      fuzz::fail("changes are ordered and point at the text they made", input, shown);
    }
    replaced = replaced || change.kind == ChangeKind::Replaced;
    changed_bytes += change.input_bytes;
  }

  std::string want;
  std::uint64_t outside = 0;
  switch (encoding) {
  case Encoding::Utf8:
    plain_auto(input, outside);
    want = input;
    tidewrack::sanitize_utf8_tail(want, 0);
    break;
  case Encoding::Utf8Auto:
    want = plain_auto(input, outside);
    break;
  case Encoding::Cp1252:
    return 0; // its table is checked by the C++ tests
  default:
    if (!replaced && encoded(encoding, code_points(whole.text)) != input) {
      fuzz::fail("the text has the code points of the input", input, shown);
    }
    return 0;
  }
  if (changed_bytes != outside) {
    fuzz::fail("the changes count every byte outside valid UTF-8", input,
               shown + ", " + std::to_string(outside) + " such bytes");
  }
  if (whole.text != want) {
    fuzz::fail("decoded text matches the plain transcription", input,
               shown + ", expected \"" + fuzz::escaped(want) + "\"");
  }
  return 0;
}
