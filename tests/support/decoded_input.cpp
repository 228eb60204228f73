#include "decoded_input.h"

#include <algorithm>

#include "encoding/decoder.h"
#include "encoding/detect.h"

namespace test_support {

using namespace tidewrack;

namespace {

constexpr std::size_t BLOCK = std::size_t{1} << 20;

// The end of the block that starts at `at`: BLOCK bytes on, moved back before
// up to three UTF-8 continuation bytes, so that valid UTF-8 is never cut inside
// a character and every block of it passes through the decoder whole.
std::size_t block_end(std::string_view input, std::size_t at) {
  std::size_t end = std::min(input.size(), at + BLOCK);
  for (int back = 0; back < 3 && end < input.size() && end > at + 1; ++back) {
    if ((static_cast<unsigned char>(input[end]) & 0xC0) != 0x80) {
      break;
    }
    --end;
  }
  return end;
}

} // namespace

Result<DecodedInput> DecodedInput::decode(std::string_view input, InputEncoding encoding,
                                          StopPoll stop) {
  const Detection detection = resolve_encoding(encoding, input.substr(0, DETECTION_HEAD));
  DecodedInput decoded;
  decoded.input_ = input.substr(detection.bom_length);
  const std::string_view rest = decoded.input_;
  Decoder decoder(detection.encoding);
  std::string block_text; // while the text is the input itself: what a block decodes to
  StopCheckpoints checkpoints(stop);
  for (std::size_t at = 0, end; at < rest.size(); at = end) {
    if (checkpoints.stop_at(at)) {
      return SalvageError::interrupted();
    }
    end = block_end(rest, at);
    const std::string_view block = rest.substr(at, end - at);
    const bool last = end == rest.size();
    if (!decoded.passed_through_) {
      if (decoder.decode(block, last, decoded.storage_)) {
        decoded.storage_.append(block);
      }
      continue;
    }
    block_text.clear();
    if (decoder.decode(block, last, block_text)) {
      continue;
    }
    // The first change: from here on the text is a copy.
    decoded.passed_through_ = false;
    decoded.storage_.reserve(rest.size());
    decoded.storage_.assign(rest.substr(0, at));
    decoded.storage_.append(block_text);
    block_text = std::string();
  }
  decoded.changes_ = std::move(decoder.changes());
  // Auto logs nothing but bytes read as cp1252.
  decoded.name_ = detection.encoding == Encoding::Utf8Auto && !decoded.changes_.pending().empty()
                      ? "utf-8+cp1252"
                      : tidewrack::encoding_name(detection.encoding);
  return decoded;
}

} // namespace test_support
