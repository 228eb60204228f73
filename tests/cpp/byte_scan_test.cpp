#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "parser/byte_scan.h"

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

} // namespace
