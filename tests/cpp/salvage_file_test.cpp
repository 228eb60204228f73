#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "io/file_io.h"
#include "listed_salvage.h"
#include "output/csv_format.h"
#include "records.h"
#include "salvage/reconcile.h"
#include "salvage/salvage_file.h"
#include "salvage/salvage_slice.h"
#include "salvage/stretch_parts.h"

namespace {

namespace fs = std::filesystem;
using tidewrack::SalvageOptions;

class FileSalvage : public testing::Test {
protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() / ("tidewrack-test-" + std::to_string(::getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string &name) const { return (dir_ / name).string(); }
  std::string write(const std::string &name, const std::string &bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
  }
  static std::string read(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  fs::path dir_;
};

TEST_F(FileSalvage, WritesCleanAndQuarantineFiles) {
  std::string input = write("in.csv", "\xEF\xBB\xBFid;name;note\r\n1;a \"b\";x\r\n2;c\r\n"
                                      "3;d;e;f\r\n4;\"multi\nline\";z\r\n");
  SalvageOptions options;
  options.merge_overflow = false;
  auto result = tidewrack::salvage_file(input, path("out.csv"), path("q.csv"), options);
  ASSERT_TRUE(result.ok()) << result.error().display();
  EXPECT_EQ(read(path("out.csv")),
            "id;name;note\n1;\"a \"\"b\"\"\";x\n2;c;\n4;\"multi\nline\";z\n");
  EXPECT_EQ(read(path("q.csv")),
            "line,reason,raw_content\n4,\"Row has extra columns (expected 3)\",\"3;d;e;f\"\n");
  const auto &counts = result.value();
  EXPECT_EQ(counts.total_rows, 5u);
  EXPECT_EQ(counts.salvaged_rows, 4u);
  EXPECT_EQ(counts.repaired_rows, 1u);
  EXPECT_EQ(counts.quarantined_rows, 1u);
  EXPECT_EQ(counts.inferred_columns, 3u);
  EXPECT_EQ(counts.detected_delimiter, U';');
}

TEST_F(FileSalvage, QuotesFieldsThatNeedItAndNothingElse) {
  std::string input = write("in.csv", "a,b,c\n\"q\"\"\",\"\n\",\nx,y,z,w\n");
  SalvageOptions options;
  options.expected_columns = 3;
  ASSERT_TRUE(tidewrack::salvage_file(input, path("out.csv"), std::nullopt, options).ok());
  EXPECT_EQ(read(path("out.csv")), "a,b,c\n\"q\"\"\",\"\n\",\nx,y,\"z,w\"\n");
  EXPECT_FALSE(fs::exists(path("q.csv")));
}

TEST_F(FileSalvage, EmptyInputGivesEmptyOutputAndHeaderOnlyQuarantine) {
  std::string input = write("in.csv", "");
  auto result = tidewrack::salvage_file(input, path("out.csv"), path("q.csv"), SalvageOptions{});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(read(path("out.csv")), "");
  EXPECT_EQ(read(path("q.csv")), "line,reason,raw_content\n");
  EXPECT_EQ(result.value().detected_delimiter, U',');
}

TEST_F(FileSalvage, QuarantineUsesCommaAndDoubleQuotesWhateverTheSalvageUses) {
  std::string input = write("in.csv", "a;b\n'x;y';\"z;w\n");
  SalvageOptions options;
  options.delimiter = ';';
  options.quote_char = '\'';
  options.merge_overflow = false;
  options.expected_columns = 2;
  ASSERT_TRUE(tidewrack::salvage_file(input, path("out.csv"), path("q.csv"), options).ok());
  EXPECT_EQ(read(path("out.csv")), "a;b\n");
  EXPECT_EQ(read(path("q.csv")),
            "line,reason,raw_content\n2,\"Row has extra columns (expected 2)\",\"x;y;\"\"z;w\"\n");
}

TEST_F(FileSalvage, MissingInputLeavesOutputUntouched) {
  std::string output = write("out.csv", "keep");
  auto result = tidewrack::salvage_file(path("missing.csv"), output, path("q.csv"), {});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().os_error(), ENOENT);
  EXPECT_EQ(result.error().display(), "No such file or directory (os error 2)");
  EXPECT_EQ(result.error().path(), path("missing.csv"));
  EXPECT_EQ(read(output), "keep");
  EXPECT_FALSE(fs::exists(path("q.csv")));
}

TEST_F(FileSalvage, DirectoryAsInputFailsOnRead) {
  auto result = tidewrack::salvage_file(dir_.string(), path("out.csv"), std::nullopt, {});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().os_error(), EISDIR);
  EXPECT_FALSE(fs::exists(path("out.csv")));
}

TEST_F(FileSalvage, MissingOutputDirectoryWritesNoQuarantine) {
  std::string input = write("in.csv", "a,b\nc\n");
  auto result = tidewrack::salvage_file(input, path("nowhere/out.csv"), path("q.csv"), {});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().os_error(), ENOENT);
  EXPECT_FALSE(fs::exists(path("q.csv")));
}

TEST_F(FileSalvage, MissingQuarantineDirectoryLeavesOutputComplete) {
  std::string input = write("in.csv", "a,b\nc,d\n");
  auto result = tidewrack::salvage_file(input, path("out.csv"), path("nowhere/q.csv"), {});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().path(), path("nowhere/q.csv"));
  EXPECT_EQ(read(path("out.csv")), "a,b\nc,d\n");
}

TEST_F(FileSalvage, NulInAnyPathIsRefusedBeforeOpening) {
  std::string input = write("in.csv", "a\n");
  std::string with_nul = path("out") + std::string("\0x", 2);
  for (auto result : {tidewrack::salvage_file(input, with_nul, std::nullopt, {}),
                      tidewrack::salvage_file(with_nul, path("out.csv"), std::nullopt, {}),
                      tidewrack::salvage_file(input, path("out.csv"), with_nul, {})}) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().display(), "file name contained an unexpected NUL byte");
  }
}

TEST_F(FileSalvage, InputAndOutputMayBeTheSameFile) {
  std::string file = write("same.csv", "a,b\nc\n");
  ASSERT_TRUE(tidewrack::salvage_file(file, file, std::nullopt, {}).ok());
  EXPECT_EQ(read(file), "a,b\nc,\n");
}

TEST_F(FileSalvage, FullDeviceGivesTheOsErrorText) {
  if (!fs::exists("/dev/full")) {
    GTEST_SKIP() << "no /dev/full";
  }
  // Small output stays in the buffer until the final write-out; large rows go
  // to the device directly; both report the system's error.
  for (std::size_t row_size : {10u, 20000u}) {
    std::string input = write("in.csv", std::string(row_size, 'x') + "\n");
    auto result = tidewrack::salvage_file(input, "/dev/full", std::nullopt, {});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().display(), "No space left on device (os error 28)");
    EXPECT_EQ(result.error().path(), "/dev/full");
  }
}

TEST_F(FileSalvage, OutputBufferWritesOncePerBufferful) {
  // Rows crossing the 8192-byte boundary in every way must all arrive in order.
  std::string input;
  std::mt19937_64 random(3);
  for (int row = 0; row < 2000; ++row) {
    input += std::string(random() % 9000, 'a' + static_cast<char>(row % 26)) + "\n";
  }
  std::string in = write("in.csv", input);
  SalvageOptions options;
  options.expected_columns = 0;
  ASSERT_TRUE(tidewrack::salvage_file(in, path("out.csv"), std::nullopt, options).ok());
  EXPECT_EQ(read(path("out.csv")), input);
}

// Says "stop" from its `stop_from`-th question on.
struct CountingPoll {
  int stop_from;
  int asked = 0;
  bool operator()(bool) { return ++asked >= stop_from; }
};

// Every place that asks (reading, decoding, reconciling, writing the
// quarantine) stops at once on its first "stop", with an Interrupted error.
TEST_F(FileSalvage, StopsWhereverItsPollSaysSo) {
  std::string rows;
  while (rows.size() < (std::size_t{3} << 20)) {
    rows += "1,two,three\n4,five\n";
  }
  std::string input = write("in.csv", rows);
  // With threads, a stop in a part that is not taken (the stretch ended before it) counts too.
  for (const unsigned threads : {1u, 2u}) {
    for (auto encoding : {std::optional<tidewrack::InputEncoding>{},
                          std::optional(tidewrack::InputEncoding::Cp1252)}) {
      SCOPED_TRACE(std::to_string(threads) + (encoding ? " threads, cp1252" : " threads"));
      SalvageOptions options;
      options.fill_ragged_rows = false;
      options.encoding = encoding;
      const std::size_t block = threads > 1 ? std::size_t{1} << 20 : tidewrack::SALVAGE_BLOCK_SIZE;
      CountingPoll never{std::numeric_limits<int>::max()};
      ASSERT_TRUE(tidewrack::salvage_file(input, path("out.csv"), path("q.csv"), options,
                                          std::nullopt, tidewrack::StopPoll(never), {}, block,
                                          threads)
                      .ok());
      ASSERT_GE(never.asked, 4); // 3 MiB read and parsed
      for (int stop_from = 1; stop_from <= never.asked; ++stop_from) {
        CountingPoll poll{stop_from};
        auto result =
            tidewrack::salvage_file(input, path("out.csv"), path("q.csv"), options, std::nullopt,
                                    tidewrack::StopPoll(poll), {}, block, threads);
        // With threads the calling thread asks for the parts it takes, which vary.
        if (threads == 1) {
          EXPECT_EQ(poll.asked, stop_from);
        }
        ASSERT_EQ(result.ok(), poll.asked < stop_from) << "stop from question " << stop_from;
        if (!result.ok()) {
          EXPECT_EQ(result.error().kind(), tidewrack::SalvageError::Kind::Interrupted);
        }
      }
    }
  }
  for (auto encoding : {std::optional<tidewrack::InputEncoding>{},
                        std::optional(tidewrack::InputEncoding::Cp1252)}) {
    SalvageOptions options;
    options.fill_ragged_rows = false;
    options.encoding = encoding;
    CountingPoll poll{1};
    auto sliced = tidewrack::salvage_slice(rows, options, tidewrack::StopPoll(poll));
    ASSERT_FALSE(sliced.ok());
    EXPECT_EQ(sliced.error().kind(), tidewrack::SalvageError::Kind::Interrupted);
  }
}

// Detection reads a head of blank lines to its end: it asks too.
TEST_F(FileSalvage, StopsWhileDetecting) {
  std::string input = write("in.csv", std::string((std::size_t{3} << 20) / 2, '\n') + "a,b\n");
  CountingPoll never{std::numeric_limits<int>::max()};
  ASSERT_TRUE(tidewrack::salvage_file(input, path("out.csv"), std::nullopt, SalvageOptions{},
                                      std::nullopt, tidewrack::StopPoll(never))
                  .ok());
  ASSERT_EQ(never.asked, 7); // read, four candidates sniffed, inference, reconcile
  for (int stop_from = 2; stop_from <= 6; ++stop_from) {
    CountingPoll poll{stop_from};
    auto result = tidewrack::salvage_file(input, path("out.csv"), std::nullopt, SalvageOptions{},
                                          std::nullopt, tidewrack::StopPoll(poll));
    ASSERT_FALSE(result.ok()) << "stop from question " << stop_from;
    EXPECT_EQ(result.error().kind(), tidewrack::SalvageError::Kind::Interrupted);
    EXPECT_EQ(poll.asked, stop_from);
  }
}

// A progress bar needs reports that grow every few MiB and end at the input's size.
TEST_F(FileSalvage, ReportsProgressThroughTheInput) {
  std::string rows;
  while (rows.size() < (std::size_t{9} << 20)) {
    rows += "1,two,three\n";
  }
  std::string input = write("in.csv", rows);
  std::vector<std::uint64_t> reports;
  auto sink = [&](std::uint64_t done) { reports.push_back(done); };
  ASSERT_TRUE(tidewrack::salvage_file(input, path("out.csv"), std::nullopt, SalvageOptions{},
                                      std::nullopt, {}, tidewrack::ProgressSink(sink),
                                      std::size_t{1} << 20)
                  .ok());
  ASSERT_EQ(reports.size(), 3u) << "at 4 MiB, 8 MiB and the end";
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_GE(reports[0], tidewrack::ProgressSink::INTERVAL);
  EXPECT_EQ(reports.back(), rows.size());
}

TEST(EndlessInput, StopsWhenItsPollSaysSo) {
  if (!fs::exists("/dev/zero")) {
    GTEST_SKIP() << "no /dev/zero";
  }
  CountingPoll poll{4};
  auto read = tidewrack::read_whole_file("/dev/zero", tidewrack::StopPoll(poll));
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind(), tidewrack::SalvageError::Kind::Interrupted);
}

TEST_F(FileSalvage, RepairLogListsTheChangesAndChangesNothingElse) {
  std::string input = write("in.csv", "a,b,c\np,q\nw,x,y,z\n\"5\" x\",y,z\n");
  SalvageOptions options;
  options.merge_overflow = false;
  auto classic =
      tidewrack::salvage_file(input, path("classic.csv"), path("classic-q.csv"), options);
  auto logged =
      tidewrack::salvage_file(input, path("out.csv"), path("q.csv"), options, path("log.csv"));
  ASSERT_TRUE(classic.ok() && logged.ok());
  EXPECT_EQ(read(path("log.csv")), "line_start,line_end,action,detail\n"
                                   "2,2,padded,1 empty field added\n"
                                   "3,3,quarantined,Row has extra columns (expected 3)\n"
                                   "4,4,quote_repaired,1 stray quote kept as text\n");
  EXPECT_EQ(read(path("out.csv")), read(path("classic.csv")));
  EXPECT_EQ(read(path("q.csv")), read(path("classic-q.csv")));
  EXPECT_EQ(logged.value().padded_rows, 1u);
  EXPECT_EQ(logged.value().quote_repairs, 1u);
  EXPECT_EQ(logged.value().repaired_rows, classic.value().repaired_rows);
}

TEST_F(FileSalvage, RepairLogThatCannotBeCreatedLeavesTheOutputUntouched) {
  std::string input = write("in.csv", "a,b\nc\n");
  std::string output = write("out.csv", "keep");
  auto result = tidewrack::salvage_file(input, output, std::nullopt, {}, path("nowhere/log.csv"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().os_error(), ENOENT);
  EXPECT_EQ(result.error().path(), path("nowhere/log.csv"));
  EXPECT_EQ(read(output), "keep");
}

TEST(RepairLogLine, EnclosesADetailOnlyWhenItMustBe) {
  tidewrack::RepairEvent event{3, 5, 0, 0, tidewrack::RepairAction::quarantined, "plain text"};
  std::string lines;
  tidewrack::render_repair_line(lines, event);
  event.detail = "a, \"b\"";
  tidewrack::render_repair_line(lines, event);
  EXPECT_EQ(lines, "3,5,quarantined,plain text\n3,5,quarantined,\"a, \"\"b\"\"\"\n");
}

// The case that made recovery necessary: one quote that never closes swallowed
// every row after it into one field.
TEST_F(FileSalvage, OneUnclosedQuoteInAHundredThousandRowsCostsNoRow) {
  std::string text = "id,name,note\n";
  for (int row = 1; row <= 100'000; ++row) {
    text += std::to_string(row) + (row == 3 ? ",\"abc,x\n" : ",abc,x\n");
  }
  std::string input = write("in.csv", text);
  SalvageOptions options;
  options.unclosed_quote_recovery = tidewrack::QuoteRecoveryLimits{};
  auto result =
      tidewrack::salvage_file(input, path("out.csv"), std::nullopt, options, path("log.csv"));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().total_rows, 100'001u);
  EXPECT_EQ(result.value().salvaged_rows, 100'001u);
  EXPECT_EQ(result.value().unclosed_quotes, 1u);
  EXPECT_EQ(read(path("log.csv")), "line_start,line_end,action,detail\n"
                                   "4,4,unclosed_quote,quote on line 4 read as text\n");
  EXPECT_NE(read(path("out.csv")).find("\n3,\"\"\"abc\",x\n4,abc,x\n"), std::string::npos);
}

// Column profiles come from the records that start in the first MiB of the
// text, read whole however the input is cut into blocks and parts.
TEST_F(FileSalvage, ProfilesOfLongRecordsDoNotDependOnTheBlocks) {
  std::string text = "id,note,qty\n";
  for (std::size_t row = 1; text.size() < (std::size_t{3} << 20); ++row) {
    const std::string note(1500 + row % 700, static_cast<char>('a' + row % 26));
    // A stray delimiter in every fiftieth note, fused numbers in every sixtieth row.
    text += std::to_string(row) + "," + note.substr(0, 20) + (row % 50 == 0 ? ", " : " ") +
            note.substr(20) + (row % 60 == 0 ? "" : ",") + std::to_string(row % 90) + "\n";
  }
  std::string input = write("in.csv", text);
  SalvageOptions options;
  options.align_columns = true;
  std::vector<std::string> runs;
  for (const auto &[block, threads] : std::vector<std::pair<std::size_t, unsigned>>{
           {std::size_t{8} << 20, 1}, {std::size_t{64} << 10, 1}, {std::size_t{300} << 10, 2}}) {
    ASSERT_TRUE(tidewrack::salvage_file(input, path("out.csv"), std::nullopt, options,
                                        path("log.csv"), {}, {}, block, threads)
                    .ok());
    runs.push_back(read(path("out.csv")) + read(path("log.csv")));
  }
  EXPECT_NE(runs[0].find("joined into column 2"), std::string::npos) << "rows were aligned";
  EXPECT_EQ(runs[1], runs[0]);
  EXPECT_EQ(runs[2], runs[0]);
}

// Stretches on threads end after so many lines: a record of more lines than
// that, and a long run of blank lines (each a padded row), come out as on one thread.
TEST_F(FileSalvage, RecordsOfMoreLinesThanAStretchAndBlankRunsDoNotDependOnTheThreads) {
  std::string text = "id,note,qty\n1,\"";
  for (int line = 0; line < 700'000; ++line) {
    text += "x\n";
  }
  text += "\",3\n" + std::string(700'000, '\n') + "2,after,4\n";
  std::string input = write("in.csv", text);
  std::vector<std::string> runs;
  for (const unsigned threads : {1u, 2u}) {
    ASSERT_TRUE(tidewrack::salvage_file(input, path("out.csv"), path("q.csv"), SalvageOptions{},
                                        path("log.csv"), {}, {}, std::size_t{1} << 20, threads)
                    .ok());
    runs.push_back(read(path("out.csv")) + read(path("q.csv")) + read(path("log.csv")));
  }
  EXPECT_NE(runs[0].find("2,after,4"), std::string::npos);
  EXPECT_EQ(runs[1], runs[0]);
}

// What salvage_slice's outcome would have a file salvage write: the clean
// rows, the quarantine and the repair log, one after the other.
std::string rendered(const tidewrack::SalvageOutcome &outcome) {
  const auto delimiter = static_cast<std::uint8_t>(outcome.counts.detected_delimiter);
  tidewrack::CleanRowRenderer renderer(delimiter, outcome.counts.output_quote_char);
  std::string written;
  for (std::size_t i = 0; i < outcome.clean_rows.size(); ++i) {
    test_support::append_row(renderer, written, outcome.clean_rows.row(i));
  }
  written += tidewrack::QUARANTINE_HEADER;
  for (const tidewrack::QuarantineRecord &record : outcome.quarantine) {
    tidewrack::render_quarantine_line(written, record, tidewrack::byte_as_utf8(delimiter));
  }
  written += tidewrack::REPAIR_LOG_HEADER;
  for (const tidewrack::RepairEvent &event : outcome.repairs) {
    tidewrack::render_repair_line(written, event);
  }
  return written;
}

// Records of hundreds of thousands of fields, or of one long field, are never
// held whole by a file salvage: a plain one is written as it is read again, and
// another read again a batch of fields at a time, as it is cleaned, merged,
// padded or set aside. The files are what the salvage in memory makes of them,
// however the text is cut into blocks and parts.
TEST_F(FileSalvage, LongRecordsComeOutAsTheyDoInMemory) {
  constexpr std::size_t BATCH = tidewrack::LONG_RECORD_FIELDS;
  auto fields = [](std::size_t count, const std::string &field) {
    std::string line;
    for (std::size_t i = 0; i < count; ++i) {
      line += (i == 0 ? "" : ",") + field;
    }
    return line;
  };
  // Plain, and not: a stray quote, doubled quotes (fields put together),
  // invalid UTF-8, a quote left open on its line (which recovery reads as
  // text when the lines after it have the width); exactly two batches of
  // fields; megabytes of fields put together; one field of doubled quotes; a
  // merge of a long field that holds the quote, two bytes in UTF-8, doubled.
  const std::string wide = fields(3 * BATCH, "ab") + "\n";
  const std::string damaged = fields(BATCH - 2, "\"q\"\"q\"") + ",x\"y,\xFF" + fields(BATCH, "é") +
                              ",\"open\n" + "1,2,3\n4,5,6\n";
  const std::string assembled = fields(2000, "\"" + std::string(4000, 'x') + "\"\"y\"") + ",x\"y\n";
  const std::string quotes = "a,b\n1,\"" + std::string((3 << 20) + 1, '"') + "\n2,x\n";
  std::string long_field;
  while (long_field.size() < (std::size_t{1} << 17)) {
    long_field += "x§";
  }
  struct Case {
    std::string text;
    std::optional<std::uint64_t> columns = std::nullopt;
    bool merge = true;
    std::optional<std::uint8_t> output_quote = std::nullopt;
  };
  const std::vector<Case> cases = {
      {wide + "1,2\n" + wide},
      {"a,b,c\n" + damaged},
      {"a,b,c\n" + damaged, std::nullopt, false},
      {damaged, 2 * BATCH + 5},
      {"a,b,c\n" + assembled},
      {quotes},
      {"a,b\n1," + long_field + "," + fields(BATCH, "x§") + "\n", 2, true, 0xA7}};
  for (const Case &shape : cases) {
    std::string input = write("in.csv", shape.text);
    SalvageOptions options;
    options.expected_columns = shape.columns;
    options.merge_overflow = shape.merge;
    options.output_quote_char = shape.output_quote;
    options.unclosed_quote_recovery = tidewrack::QuoteRecoveryLimits{};
    const std::string expected =
        rendered(test_support::salvage_listing_repairs(shape.text, options));
    for (const auto &[block, threads] :
         std::vector<std::pair<std::size_t, unsigned>>{{tidewrack::SALVAGE_BLOCK_SIZE, 1},
                                                       {std::size_t{64} << 10, 1},
                                                       {std::size_t{1} << 20, 2}}) {
      ASSERT_TRUE(tidewrack::salvage_file(input, path("out.csv"), path("q.csv"), options,
                                          path("log.csv"), {}, {}, block, threads)
                      .ok());
      const std::string written =
          read(path("out.csv")) + read(path("q.csv")) + read(path("log.csv"));
      ASSERT_TRUE(written == expected) << "input of " << shape.text.size() << " bytes, block "
                                       << block << ", threads " << threads << ": " << written.size()
                                       << " bytes written, " << expected.size() << " expected";
    }
  }
}

std::string damaged_input(std::mt19937_64 &random) {
  static const std::vector<std::string> pieces = {"a", "bc",   " ",  "\"", "\"\"", ",",
                                                  ",", ";",    "\n", "\n", "\r\n", "\r",
                                                  "é", "\xFF", "\t", "|",  "x,y\n"};
  std::string input;
  std::size_t length = random() % 150;
  while (input.size() < length) {
    input += pieces[random() % pieces.size()];
  }
  return input;
}

// The clean output salvaged again with the delimiter and width of the first run
// comes back byte for byte, with nothing repaired or quarantined.
TEST_F(FileSalvage, CleanOutputIsAFixedPoint) {
  std::mt19937_64 random(5);
  for (int trial = 0; trial < 2000; ++trial) {
    std::string input = write("in.csv", damaged_input(random));
    SalvageOptions options;
    options.fill_ragged_rows = random() % 2;
    options.merge_overflow = random() % 2;
    options.repair_quotes = random() % 2;
    auto first = tidewrack::salvage_file(input, path("out.csv"), std::nullopt, options);
    ASSERT_TRUE(first.ok());
    SalvageOptions again;
    again.delimiter = static_cast<std::uint8_t>(first.value().detected_delimiter);
    again.expected_columns = first.value().inferred_columns;
    auto second = tidewrack::salvage_file(path("out.csv"), path("again.csv"), std::nullopt, again);
    ASSERT_TRUE(second.ok());
    ASSERT_EQ(read(path("again.csv")), read(path("out.csv"))) << read(input);
    EXPECT_EQ(second.value().repaired_rows, 0u);
    EXPECT_EQ(second.value().quarantined_rows, 0u);
    EXPECT_EQ(second.value().total_rows, first.value().salvaged_rows);
  }
}

} // namespace

// A part's first line: LFs and CRs no LF follows, the byte after `to` read
// too, counted in blocks of 16 and byte by byte alike.
TEST(LineBreaks, CountLinesAsTheParserDoes) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::string text(random() % 80, 'x');
    for (char &byte : text) {
      byte = "\r\nx"[random() % 3];
    }
    const std::size_t from = text.empty() ? 0 : random() % text.size();
    const std::size_t to = from + (text.size() == from ? 0 : random() % (text.size() - from + 1));
    std::uint64_t expected = 0;
    for (std::size_t at = from; at < to; ++at) {
      expected +=
          text[at] == '\n' || (text[at] == '\r' && (at + 1 == text.size() || text[at + 1] != '\n'));
    }
    ASSERT_EQ(tidewrack::line_breaks(text, from, to), expected) << from << " " << to;
  }
}
