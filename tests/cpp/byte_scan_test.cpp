#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/byte_scan.h"
#include "base/utf8.h"

namespace {

using tidewrack::ByteClasses;
using tidewrack::ClassifierTarget;

auto masks(const ByteClasses &classes) {
  return std::make_tuple(classes.quote, classes.delimiter, classes.cr, classes.lf, classes.high);
}

// Byte by byte, as the rules read: what every target must agree with.
ByteClasses expected(const unsigned char *block, std::size_t size, std::uint8_t quote,
                     std::uint8_t delimiter) {
  ByteClasses classes;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    classes.quote |= block[i] == quote ? bit : 0;
    classes.delimiter |= block[i] == delimiter ? bit : 0;
    classes.cr |= block[i] == '\r' ? bit : 0;
    classes.lf |= block[i] == '\n' ? bit : 0;
    classes.high |= block[i] >= 0x80 ? bit : 0;
  }
  return classes;
}

// Every target this build runs here, from the scalar one up.
std::vector<ClassifierTarget> targets() {
  std::vector<ClassifierTarget> runnable;
  for (auto target : {ClassifierTarget::scalar, ClassifierTarget::sse2, ClassifierTarget::avx2}) {
    if (target <= tidewrack::best_classifier_target()) {
      runnable.push_back(target);
    }
  }
  return runnable;
}

// A target that classified some block unlike the scalar twin and the rules
// would cut records differently on that processor alone.
TEST(BlockClassifier, EveryTargetAgreesOnEveryBlockOfTheFuzzCorpora) {
  namespace fs = std::filesystem;
  // High bytes as quote and delimiter too: their classes overlap `high`.
  const std::array<std::pair<std::uint8_t, std::uint8_t>, 4> settings = {
      {{'"', ','}, {'\'', '\t'}, {0xA7, ';'}, {'"', 0xFF}}};
  std::size_t files = 0;
  for (const fs::directory_entry &entry : fs::recursive_directory_iterator(TIDEWRACK_FUZZ_CORPUS)) {
    if (!entry.is_regular_file()) {
      continue;
    }
    ++files;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    for (auto [quote, delimiter] : settings) {
      for (std::size_t base = 0; base < bytes.size(); base += 64) {
        const std::size_t size = std::min<std::size_t>(64, bytes.size() - base);
        const auto want = masks(expected(data + base, size, quote, delimiter));
        for (ClassifierTarget target : targets()) {
          const ByteClasses got =
              size == 64 ? tidewrack::classify_64(target, data + base, quote, delimiter)
                         : tidewrack::classify_tail(target, data + base, size, quote, delimiter);
          ASSERT_EQ(masks(got), want)
              << entry.path() << " at " << base << ", target " << static_cast<int>(target)
              << ", quote " << int{quote} << ", delimiter " << int{delimiter};
        }
      }
    }
  }
  EXPECT_GT(files, 600u) << "the corpora were not found under " << TIDEWRACK_FUZZ_CORPUS;
}

// Every length up to three blocks and a half, four inputs each: bytes drawn from
// those the operations look for, once more with some runs of one byte, and once
// from all 256.
std::vector<std::string> edge_inputs() {
  const std::string picked("\r\n\",; \t09azAZ\x00\x7F\x80\xBF\xC2\xC3\xDF\xE0\xED\xF0\xF4\xFF", 26);
  std::mt19937 random(20261209);
  std::vector<std::string> inputs;
  for (std::size_t size = 0; size <= 224; ++size) {
    for (int kind = 0; kind < 4; ++kind) {
      std::string input(size, '\0');
      for (std::size_t i = 0; i < size; ++i) {
        const bool any = kind == 3 || (kind == 2 && i % 50 < 25);
        input[i] = any ? static_cast<char>(random() % 256) : picked[random() % picked.size()];
        if (kind == 2 && i % 50 >= 25) {
          input[i] = i % 100 < 50 ? 'x' : '"'; // long runs with nothing or one thing to find
        }
      }
      inputs.push_back(std::move(input));
    }
  }
  return inputs;
}

// UTF-8 of every sequence length, now and then with a byte changed: the bulk pass
// over two-byte text meets its runs and breaks at every offset of a block.
std::vector<std::string> utf8_inputs() {
  const char *const characters[] = {"a",
                                    ",",
                                    "\xC3\xA9",
                                    "\xD0\xB6",
                                    "\xC2\x80",
                                    "\xDF\xBF",
                                    "\xE2\x82\xAC",
                                    "\xED\x9F\xBF",
                                    "\xF0\x9F\x98\x80"};
  std::mt19937 random(7);
  std::vector<std::string> inputs;
  for (int n = 0; n < 3000; ++n) {
    std::string input;
    const std::size_t size = random() % 300;
    const bool two_byte = n % 3 != 0; // mostly the text the bulk pass takes
    while (input.size() < size) {
      input += characters[two_byte ? 2 + random() % 2 : random() % std::size(characters)];
    }
    if (n % 2 == 1 && !input.empty()) {
      input[random() % input.size()] = static_cast<char>(random() % 256);
    }
    if (n % 5 == 4 && !input.empty()) {
      input.pop_back(); // may cut the last sequence
    }
    inputs.push_back(std::move(input));
  }
  return inputs;
}

const unsigned char *bytes_of(const std::string &input) {
  return reinterpret_cast<const unsigned char *>(input.data());
}

// Runs `op` with the blocks of every target this build runs here; `check` takes
// the target and what `op` returned.
template <class Op, class Check> void on_every_target(const Op &op, const Check &check) {
  for (ClassifierTarget target : targets()) {
    check(target, tidewrack::run_on(target, op));
  }
}

// The searches stop at the same byte on every target, whatever the offset and
// length, as a byte-by-byte search does.
TEST(BlockOperations, SearchesAgreeWithByteByByteOnEveryTarget) {
  for (const std::string &input : edge_inputs()) {
    const unsigned char *data = bytes_of(input);
    const std::size_t size = input.size();
    for (std::size_t from : {std::size_t{0}, std::size_t{1}, std::size_t{63}}) {
      if (from > size) {
        continue;
      }
      std::size_t line_break = from;
      while (line_break < size && data[line_break] != '\r' && data[line_break] != '\n') {
        ++line_break;
      }
      std::size_t high = from;
      while (high < size && data[high] < 0x80) {
        ++high;
      }
      on_every_target(
          [&]<class Block>() {
            return std::make_pair(tidewrack::find_line_break_as<Block>(data, from, size),
                                  tidewrack::skip_ascii_as<Block>(data, from, size));
          },
          [&](ClassifierTarget target, std::pair<std::size_t, std::size_t> got) {
            ASSERT_EQ(got, std::make_pair(line_break, high))
                << "size " << size << ", from " << from << ", target " << static_cast<int>(target);
          });
    }
  }
}

// Line counts of every slice, the CR of a CRLF split from its LF by the end of
// the slice or of a block included.
TEST(BlockOperations, LineBreakCountAgreesWithByteByByteOnEveryTarget) {
  for (const std::string &input : edge_inputs()) {
    const unsigned char *data = bytes_of(input);
    const std::size_t size = input.size();
    for (std::size_t from : {std::size_t{0}, std::size_t{1}, std::size_t{64}}) {
      for (std::size_t to : {size, size - size / 3, from + 64}) {
        if (from > to || to > size) {
          continue;
        }
        std::uint64_t want = 0;
        for (std::size_t i = from; i < to; ++i) {
          want += data[i] == '\n' || (data[i] == '\r' && (i + 1 == size || data[i + 1] != '\n'));
        }
        on_every_target(
            [&]<class Block>() {
              return tidewrack::count_line_breaks_as<Block>(data, from, to, size);
            },
            [&](ClassifierTarget target, std::uint64_t got) {
              ASSERT_EQ(got, want) << "size " << size << ", " << from << ".." << to << ", target "
                                   << static_cast<int>(target);
            });
      }
    }
  }
}

// The kinds of byte in a cell, the delimiter apart even when it is a digit, a
// letter, a high byte or the zero byte that pads a block.
TEST(BlockOperations, ByteKindsAgreeWithByteByByteOnEveryTarget) {
  for (const std::string &input : edge_inputs()) {
    const unsigned char *data = bytes_of(input);
    for (std::uint8_t delimiter : {std::uint8_t{','}, std::uint8_t{'0'}, std::uint8_t{'a'},
                                   std::uint8_t{0xC3}, std::uint8_t{0}}) {
      tidewrack::ByteKinds want;
      for (char c : input) {
        const auto byte = static_cast<unsigned char>(c);
        const bool digit = byte >= '0' && byte <= '9';
        const bool letter = (byte | 0x20) >= 'a' && (byte | 0x20) <= 'z';
        const bool blank = byte == ' ' || byte == '\t';
        if (byte == delimiter) {
          want.delimiter = true;
        } else {
          want.digit |= digit;
          want.letter |= letter;
          want.blank |= blank;
          want.high |= byte >= 0x80;
          want.other |= !digit && !letter && !blank && byte < 0x80;
          want.digits += digit ? 1 : 0;
        }
      }
      auto fields = [](const tidewrack::ByteKinds &kinds) {
        return std::make_tuple(kinds.digit, kinds.letter, kinds.blank, kinds.high, kinds.delimiter,
                               kinds.other, kinds.digits);
      };
      for (ClassifierTarget target : targets()) {
        ASSERT_EQ(fields(tidewrack::byte_kinds(target, data, input.size(), delimiter)),
                  fields(want))
            << "size " << input.size() << ", delimiter " << int{delimiter} << ", target "
            << static_cast<int>(target);
      }
    }
  }
}

// A quoted field's copy, each quote doubled, and nothing written more than one
// byte past its end.
TEST(BlockOperations, DoublingCopyAgreesWithByteByByteOnEveryTarget) {
  for (const std::string &input : edge_inputs()) {
    for (char quote : {'"', '\0'}) {
      std::string want;
      for (char byte : input) {
        want += byte;
        if (byte == quote) {
          want += byte;
        }
      }
      on_every_target(
          [&]<class Block>() {
            std::string out(2 * input.size() + 16, '\x01');
            char *end = tidewrack::copy_doubling_as<Block>(
                out.data(), bytes_of(input), input.size(), static_cast<std::uint8_t>(quote));
            const auto size = static_cast<std::size_t>(end - out.data());
            const bool untouched = out.find_first_not_of('\x01', size + 1) == std::string::npos;
            out.resize(size);
            return untouched ? out : "written past the end: " + out;
          },
          [&](ClassifierTarget target, const std::string &got) {
            ASSERT_EQ(got, want) << "size " << input.size() << ", quote " << int{quote}
                                 << ", target " << static_cast<int>(target);
          });
    }
  }
}

// The leading ASCII units of UTF-16 narrowed to bytes, in either byte order, up
// to the first unit of 0x80 or above, the end of the block or the last whole unit.
TEST(BlockOperations, NarrowingOfUtf16AgreesWithUnitByUnitOnEveryTarget) {
  for (const std::string &input : edge_inputs()) {
    for (bool big : {false, true}) {
      // Random units, and ASCII ones with one byte from the input.
      std::string ascii(input.size(), '\0');
      for (std::size_t i = big ? 1 : 0; i < input.size(); i += 2) {
        ascii[i] = static_cast<char>(input[i] & 0x7F);
      }
      if (!input.empty() && input.size() % 3 != 0) {
        ascii[input.size() % 67 % input.size()] = input[input.size() % 67 % input.size()];
      }
      for (const std::string &units : {input, ascii}) {
        std::string want;
        for (std::size_t i = 0; i + 2 <= units.size() && want.size() < 32; i += 2) {
          const auto low = static_cast<unsigned char>(units[i + (big ? 1 : 0)]);
          const auto high = static_cast<unsigned char>(units[i + (big ? 0 : 1)]);
          if (high != 0 || low >= 0x80) {
            break;
          }
          want += static_cast<char>(low);
        }
        on_every_target(
            [&]<class Block>() {
              std::string out(32, '\0');
              out.resize(tidewrack::narrow_ascii_units_as<Block>(bytes_of(units), units.size(), big,
                                                                 out.data()));
              return out;
            },
            [&](ClassifierTarget target, const std::string &got) {
              ASSERT_EQ(got, want) << "size " << units.size() << ", big " << big << ", target "
                                   << static_cast<int>(target);
            });
      }
    }
  }
}

// Validation with the bulk passes of every target agrees with reading the text
// sequence by sequence through the one UTF-8 sequence classifier.
TEST(BlockOperations, Utf8ValidationAgreesWithSequenceBySequenceOnEveryTarget) {
  std::vector<std::string> inputs = utf8_inputs();
  for (std::string &input : edge_inputs()) {
    inputs.push_back(std::move(input));
  }
  for (const std::string &input : inputs) {
    const unsigned char *data = bytes_of(input);
    bool want = true;
    std::size_t length = 0;
    for (std::size_t at = 0; want && at < input.size(); at += length) {
      want = tidewrack::utf8_sequence(data + at, input.size() - at, length) ==
             tidewrack::Utf8Sequence::valid;
    }
    on_every_target(
        [&]<class Block>() { return tidewrack::valid_utf8_as<Block>(data, input.size()); },
        [&](ClassifierTarget target, bool got) {
          ASSERT_EQ(got, want) << "size " << input.size() << ", target "
                               << static_cast<int>(target);
        });
  }
}

} // namespace
