// Hostile inputs for the engine: shapes no CSV writer makes on purpose but that
// a corrupted file can hold. Each must be cut into records without a crash, in
// time linear in its size, and without losing a row.
//
// Time is never judged in absolute terms: a hostile input is compared with a
// clean input of the same size, and a small instance is tried first so that a
// quadratic fault fails in seconds instead of running for hours.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "base/utf8.h"
#include "naive_parser.h"
#include "output/csv_format.h"
#include "parser/resilient_parser.h"
#include "records.h"
#include "salvage/reconcile.h"
#include "salvage/salvage_file.h"
#include "salvage/salvage_slice.h"

namespace {

using Fields = std::vector<std::string>;
using tidewrack::SalvageOptions;
using tidewrack::SalvageOutcome;

// Printable form of an input for failure messages, cut to its head when long.
std::string shown(std::string_view bytes, std::size_t limit = 80) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < std::min(bytes.size(), limit); ++i) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out.push_back(static_cast<char>(byte));
    } else {
      out += "\\x";
      out.push_back(HEX[byte >> 4]);
      out.push_back(HEX[byte & 0xF]);
    }
  }
  if (bytes.size() > limit) {
    out += "... (" + std::to_string(bytes.size()) + " bytes)";
  }
  return "\"" + out + "\"";
}

std::string repeated(std::string_view piece, std::size_t total_size) {
  std::string out;
  out.reserve(total_size + piece.size());
  while (out.size() < total_size) {
    out.append(piece);
  }
  out.resize(total_size);
  return out;
}

std::vector<Fields> parse_all(std::string_view input, char delimiter = ',', bool repair = true,
                              char quote = '"') {
  tidewrack::ResilientParser parser(input, static_cast<std::uint8_t>(delimiter),
                                    static_cast<std::uint8_t>(quote), repair);
  tidewrack::Record record;
  std::vector<Fields> records;
  while (parser.next_row(record)) {
    Fields fields;
    for (std::size_t i = 0; i < record.size(); ++i) {
      fields.emplace_back(record.field(i));
    }
    records.push_back(std::move(fields));
  }
  return records;
}

void expect_counts_add_up(const SalvageOutcome &outcome, std::string_view input) {
  const auto &counts = outcome.counts;
  EXPECT_EQ(counts.total_rows, counts.salvaged_rows + counts.quarantined_rows) << shown(input);
  EXPECT_LE(counts.repaired_rows, counts.salvaged_rows) << shown(input);
  EXPECT_EQ(counts.salvaged_rows, outcome.clean_rows.size()) << shown(input);
  EXPECT_EQ(counts.quarantined_rows, outcome.quarantine.size()) << shown(input);
}

// The fastest of a few runs, in seconds: the least disturbed by other work.
double fastest_seconds(const std::function<void()> &work, int runs) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

double salvage_seconds(const std::string &input, bool repair, int runs) {
  SalvageOptions options;
  options.repair_quotes = repair;
  return fastest_seconds(
      [&] {
        SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();
        EXPECT_GE(outcome.counts.total_rows, 1u);
      },
      runs);
}

// The fastest salvage of a clean line of `size` bytes, measured once per size.
double clean_line_seconds(std::size_t size) {
  static std::vector<std::pair<std::size_t, double>> measured;
  for (const auto &[known_size, seconds] : measured) {
    if (known_size == size) {
      return seconds;
    }
  }
  const std::string clean = repeated("abcdefg,", size) + "\n";
  double seconds = salvage_seconds(clean, true, 5);
  measured.emplace_back(size, seconds);
  return seconds;
}

// One physical line made of `piece` over and over must salvage in time linear
// in its length, judged against a clean line of the same size rather than in
// absolute terms. The bound is generous, 50 times, since the clean line is
// scanned many bytes at a time and quoted text one byte at a time; quadratic
// work exceeds it by orders of magnitude. The 64 KiB line goes first, with
// some slack for timer noise: a quadratic look-ahead fails there in about a
// second, before the 512 KiB line would take minutes.
void expect_linear(std::string_view piece, bool repair) {
  for (std::size_t size : {std::size_t{1} << 16, std::size_t{1} << 19}) {
    const bool small = size < (std::size_t{1} << 19);
    const double hostile_time =
        salvage_seconds(repeated(piece, size) + "\n", repair, small ? 3 : 2);
    const double clean_time = clean_line_seconds(size);
    ASSERT_LT(hostile_time, 50 * clean_time + (small ? 0.05 : 0.0))
        << "salvaging " << shown(piece) << " repeated on one line of " << size << " bytes, repair "
        << (repair ? "on" : "off") << ", took " << hostile_time << " s against " << clean_time
        << " s for a clean line of the same size";
  }
}

// The closing-quote look-ahead reads to the end of the physical line for each
// quote it judges; done naively, a line full of quotes costs time quadratic in
// its length. These lines are built to make every quote a fresh question.
TEST(LinearTime, QuotedFieldsBackToBack) {
  expect_linear("\"a\",", true);
  expect_linear("\"a\",", false);
}

TEST(LinearTime, DelimitersBetweenDoubledQuotes) {
  expect_linear("\",\"", true);
  expect_linear("\",\"", false);
}

TEST(LinearTime, BlanksBetweenQuotes) {
  expect_linear("\" \"", true);
  expect_linear("\" \"", false);
}

TEST(LinearTime, StrayQuotesWithAClosingCandidateAtTheLineEnd) {
  // Every quote is followed by text, and only the last one on the line closes:
  // each one sends the look-ahead to the end of the line.
  expect_linear("\"x\"y", true);
  expect_linear("\"x\"y", false);
}

TEST(LinearTime, LongBlankRunsAfterQuotes) {
  expect_linear("\"" + std::string(200, ' ') + "x", true);
  expect_linear("\"" + std::string(200, '\t') + "\"" + std::string(100, ' ') + ",", true);
}

TEST(LinearTime, QuotedTextRunningIntoDelimiters) {
  expect_linear("\"a\" b,", true);
  expect_linear("\"a\"\tb\t\"c\"", true);
}

TEST(LinearTime, OnlyQuotes) {
  expect_linear("\"", true);
  expect_linear("\"\"\" ", true);
}

// Unclosed-quote recovery looks ahead of every quote it puts in doubt, up to
// the window limits. Looked at afresh for each quote, these inputs would cost
// one window per line: a thousand passes over the input with the default
// limits, and with a window that reaches to the end of the input, time
// quadratic in its size, hours at these sizes.
std::string lines_of(std::string_view line, std::size_t count) {
  std::string out;
  out.reserve(line.size() * count);
  for (std::size_t i = 0; i < count; ++i) {
    out.append(line);
  }
  return out;
}

SalvageOutcome salvage_recovering(const std::string &input, std::uint64_t columns,
                                  tidewrack::QuoteRecoveryLimits limits) {
  SalvageOptions options;
  options.expected_columns = columns;
  options.unclosed_quote_recovery = limits;
  return tidewrack::salvage_slice(input, options).value();
}

constexpr tidewrack::QuoteRecoveryLimits WHOLE_INPUT{~std::uint64_t{0}, ~std::uint64_t{0}};

TEST(LinearTime, AQuoteReadAsTextOnEveryLine) {
  // A stray quote and a doubled one keep each line's quoted field open past its
  // line, and each line on its own has two fields: every quote is read as text.
  const std::size_t lines = 400'000;
  for (auto limits : {tidewrack::QuoteRecoveryLimits{}, WHOLE_INPUT}) {
    const std::string input = lines_of("x,\"a\"\",b\n", lines);
    SalvageOutcome outcome = salvage_recovering(input, 2, limits);
    expect_counts_add_up(outcome, input);
    EXPECT_EQ(outcome.counts.unclosed_quotes, lines) << "window of " << limits.lines << " lines";
    EXPECT_EQ(outcome.counts.total_rows, lines);
  }
}

TEST(LinearTime, OnlyQuotesAndLineBreaksWithRecovery) {
  std::mt19937 random(7);
  const std::string pieces[] = {"\"", "\"", "\n", "\r\n", "\r", ","};
  std::string input;
  while (input.size() < (2u << 20)) {
    input += pieces[random() % 6];
  }
  for (std::uint64_t columns : {1u, 2u}) {
    for (auto limits : {tidewrack::QuoteRecoveryLimits{}, WHOLE_INPUT}) {
      SalvageOutcome outcome = salvage_recovering(input, columns, limits);
      expect_counts_add_up(outcome, input);
    }
  }
}

// The largest widths and lengths a record can take.
TEST(HugeShapes, AMillionColumnsFormOneRow) {
  const std::string input = repeated("x,", 2'000'000) + "\n"; // 1,000,001 fields
  SalvageOutcome outcome = tidewrack::salvage_slice(input, SalvageOptions{}).value();
  expect_counts_add_up(outcome, input);
  ASSERT_EQ(outcome.counts.total_rows, 1u);
  EXPECT_EQ(outcome.counts.inferred_columns, 1'000'001u);
  ASSERT_EQ(outcome.clean_rows.size(), 1u);
  Fields row = test_support::fields_of(outcome.clean_rows.row(0));
  ASSERT_EQ(row.size(), 1'000'001u);
  EXPECT_EQ(row.front(), "x");
  EXPECT_EQ(row[999'999], "x");
  EXPECT_EQ(row.back(), "");
}

TEST(HugeShapes, AMillionColumnsMergeIntoTheLastOfThree) {
  const std::string input = repeated("x,", 2'000'000);
  SalvageOptions options;
  options.expected_columns = 3;
  SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();
  ASSERT_EQ(outcome.clean_rows.size(), 1u);
  Fields row = test_support::fields_of(outcome.clean_rows.row(0));
  ASSERT_EQ(row.size(), 3u);
  EXPECT_EQ(row[2], input.substr(4)) << "the merged field restores the text the delimiters split";
  EXPECT_EQ(outcome.counts.repaired_rows, 1u);
}

TEST(HugeShapes, AMillionColumnsQuarantinedKeepEveryField) {
  const std::string input = "a,b\n" + repeated("x,", 2'000'000);
  SalvageOptions options;
  options.expected_columns = 2;
  options.merge_overflow = false;
  SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();
  ASSERT_EQ(outcome.quarantine.size(), 1u);
  EXPECT_EQ(outcome.quarantine[0].fields.size(), 1'000'001u);
  EXPECT_EQ(outcome.quarantine[0].line, 2u);
}

TEST(HugeShapes, ASixteenMegabyteFieldWithoutLineBreak) {
  const std::string input = repeated("abcdefghijklmnopqrstuvwxyz", 16 << 20);
  SalvageOutcome outcome = tidewrack::salvage_slice(input, SalvageOptions{}).value();
  ASSERT_EQ(outcome.clean_rows.size(), 1u);
  Fields row = test_support::fields_of(outcome.clean_rows.row(0));
  ASSERT_EQ(row.size(), 1u);
  EXPECT_TRUE(row[0] == input) << "the field comes back byte for byte";
}

// Whether blanks after a closing quote stay in the field depends on the byte
// after the whole run; a look-ahead repeated for each blank would run for days
// on these 10 MB runs.
TEST(HugeShapes, TenMegabyteBlankRunsAfterClosingQuotes) {
  const std::string blanks = repeated(" \t", 10 << 20);
  const std::string before_text = "\"a\"" + blanks + "x";
  const std::string input =
      before_text + "," + before_text + "\n\"b\"" + blanks + ",\"c\"" + blanks + "\n" + before_text;
  const std::string kept = "a" + blanks + "x";
  for (bool repair : {true, false}) {
    EXPECT_TRUE(parse_all(input, ',', repair) ==
                (std::vector<Fields>{{kept, kept}, {"b", "c"}, {kept}}))
        << "repair " << repair;
  }
}

TEST(HugeShapes, AnUnterminatedQuoteSwallowsTheRestOfTheFile) {
  const std::string body = repeated("a,b\n", 4 << 20);
  const std::string input = "h1,h2\nx,y\n\"" + body;
  SalvageOutcome outcome = tidewrack::salvage_slice(input, SalvageOptions{}).value();
  expect_counts_add_up(outcome, input);
  ASSERT_EQ(outcome.counts.total_rows, 3u);
  EXPECT_EQ(outcome.counts.repaired_rows, 1u) << "the one-field record is padded";
  Fields last = test_support::fields_of(outcome.clean_rows.row(2));
  ASSERT_EQ(last.size(), 2u);
  EXPECT_TRUE(last[0] == body) << "the open quote runs to the end of the input";
}

// Regression: with a column count near 2^64, the padding of a short row made
// the bound of its output line wrap around to a few bytes; the line was then
// rendered into the 8 KiB write buffer, padding and all, far past its end
// (salvage_file with expected_columns = 2^64 - 1 over "a,b" crashed).
TEST(HugeShapes, TheLineBoundCoversAnyPadding) {
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  const tidewrack::Record record = test_support::record_of({"a", "b"});
  for (std::uint8_t delimiter : {std::uint8_t{','}, std::uint8_t{0xA7}}) {
    tidewrack::CleanRowRenderer renderer(delimiter, '"');
    const std::string separator = tidewrack::byte_as_utf8(delimiter);
    for (std::uint64_t columns : {MAX, MAX - 20, MAX / 2 + 7, std::uint64_t{1} << 62}) {
      const tidewrack::RowShape shape{2, false, columns - 2};
      const std::size_t bound = renderer.size_bound(record, shape, separator);
      EXPECT_TRUE(bound == std::numeric_limits<std::size_t>::max() ||
                  bound / separator.size() >= shape.padding)
          << "input \"a,b\", expected_columns " << columns << ", delimiter byte " << int{delimiter}
          << ": a line of " << shape.padding << " padding delimiters got a bound of " << bound
          << " bytes";
    }
  }
}

TEST(HugeShapes, FileSalvageOfAColumnCountNoLineCanHoldFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's operator new aborts instead of throwing std::bad_alloc";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the sanitizer's operator new aborts instead of throwing std::bad_alloc";
#endif
#endif
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() / ("tidewrack-hostile-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  SalvageOptions options;
  options.expected_columns = std::numeric_limits<std::uint64_t>::max();
  // Short rows, and a row too long to be held whole.
  for (const std::string &input :
       {std::string("a,b\nc,d\n"), repeated("x,", 2 * tidewrack::LONG_RECORD_FIELDS) + "\n"}) {
    std::ofstream(dir / "in.csv") << input;
    bool failed = false;
    try {
      auto result = tidewrack::salvage_file((dir / "in.csv").string(), (dir / "out.csv").string(),
                                            std::nullopt, options);
      failed = !result.ok();
    } catch (const std::bad_alloc &) {
      failed = true;
    } catch (const std::length_error &) {
      failed = true;
    }
    EXPECT_TRUE(failed) << "input " << shown(input)
                        << ", expected_columns 2^64 - 1: a line of 2^64 - 1 fields cannot have "
                           "been written";
  }
  fs::remove_all(dir);
}

// Files made of one byte value, or of nothing but structure.
TEST(DegenerateBytes, NulBytesAreText) {
  const std::string input(1 << 20, '\0');
  SalvageOutcome outcome = tidewrack::salvage_slice(input, SalvageOptions{}).value();
  ASSERT_EQ(outcome.counts.total_rows, 1u);
  Fields row = test_support::fields_of(outcome.clean_rows.row(0));
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0].size(), input.size());
}

TEST(DegenerateBytes, OnlyQuotesMakeOneFieldOfHalfAsManyQuotes) {
  for (bool repair : {true, false}) {
    for (std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{1} << 20,
                              (std::size_t{1} << 20) + 1}) {
      const std::string input(count, '"');
      std::vector<Fields> records = parse_all(input, ',', repair);
      // The first quote opens, pairs stand for one quote each, and a last
      // unpaired quote closes the field.
      const std::size_t quotes = (count - 1) / 2;
      ASSERT_EQ(records.size(), 1u) << count << " quotes";
      ASSERT_EQ(records[0].size(), 1u) << count << " quotes";
      EXPECT_EQ(records[0][0], std::string(quotes, '"')) << count << " quotes, repair " << repair;
    }
  }
}

TEST(DegenerateBytes, OnlyLineBreaksAreOneEmptyRecordEach) {
  const std::size_t count = 1 << 16;
  struct Case {
    std::string piece;
    std::size_t records;
  };
  // LF CR LF CR ... holds an LF, then CR LF pairs, then a last CR.
  for (const Case &c :
       {Case{"\r", count}, Case{"\n", count}, Case{"\r\n", count}, Case{"\n\r", count + 1}}) {
    std::string input;
    for (std::size_t i = 0; i < count; ++i) {
      input += c.piece;
    }
    SalvageOutcome outcome = tidewrack::salvage_slice(input, SalvageOptions{}).value();
    expect_counts_add_up(outcome, input);
    EXPECT_EQ(outcome.counts.total_rows, c.records) << shown(c.piece);
    EXPECT_EQ(outcome.counts.inferred_columns, 0u) << "blank records give no width";
    EXPECT_EQ(test_support::fields_of(outcome.clean_rows.row(outcome.clean_rows.size() - 1)),
              Fields{""});

    tidewrack::ResilientParser parser(input, ',', '"', true);
    tidewrack::Record record;
    std::uint64_t expected_line = 1;
    while (parser.next_row(record)) {
      ASSERT_EQ(record.end_line, expected_line) << shown(c.piece);
      ++expected_line;
    }
  }
}

TEST(DegenerateBytes, OnlyDelimitersAreRecordsOfEmptyFields) {
  const std::string line(1 << 19, ';');
  const std::string input = line + "\n" + line;
  SalvageOutcome outcome = tidewrack::salvage_slice(input, SalvageOptions{}).value();
  EXPECT_EQ(outcome.counts.detected_delimiter, U';');
  EXPECT_EQ(outcome.counts.inferred_columns, line.size() + 1);
  EXPECT_EQ(outcome.clean_rows.row(1).size(), line.size() + 1);
}

TEST(DegenerateBytes, RepeatedByteOrderMarksAfterTheFirstAreText) {
  std::string input;
  for (int i = 0; i < 1000; ++i) {
    input += "\xEF\xBB\xBF";
  }
  std::vector<Fields> records = parse_all(input);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0][0].size(), input.size() - 3);
}

TEST(DegenerateBytes, EveryHighByteBecomesReplacementText) {
  std::string input;
  for (int round = 0; round < 64; ++round) {
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
      input.push_back(static_cast<char>(byte));
    }
  }
  std::vector<Fields> records = parse_all(input);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0][0], naive::sanitize(input));
}

// Random bytes drawn mostly from the bytes that steer the parser.
TEST(RandomBytes, ParserAgreesWithTheNaiveRulesAndSalvageLosesNoRow) {
  std::mt19937 random(20240611);
  const std::string steering = ",;\t|\"' \r\n\xEF\xBB\xBF\xC2\xA7\xFF\x80\0ab";
  for (int round = 0; round < 400; ++round) {
    std::size_t length = random() % 600;
    std::string input;
    for (std::size_t i = 0; i < length; ++i) {
      input.push_back(random() % 4 == 0 ? static_cast<char>(random() % 256)
                                        : steering[random() % (steering.size() + 1)]);
    }
    const bool repair = round % 2 == 0;
    const char delimiter = ",;\t|"[round % 4];
    std::vector<naive::Row> expected =
        naive::parse(input, static_cast<std::uint8_t>(delimiter), '"', repair);
    std::vector<Fields> got = parse_all(input, delimiter, repair);
    ASSERT_EQ(got.size(), expected.size()) << shown(input, 600);
    for (std::size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i], expected[i].fields) << "record " << i << " of " << shown(input, 600);
    }

    SalvageOptions options;
    options.repair_quotes = repair;
    options.fill_ragged_rows = round % 3 != 0;
    options.merge_overflow = round % 5 != 0;
    SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();
    expect_counts_add_up(outcome, input);
  }
}

} // namespace
