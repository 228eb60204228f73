#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "arrow/arrow_scan.h"
#include "arrow/column_names.h"
#include "arrow_rows.h"
#include "encoding/encoding.h"
#include "records.h"
#include "salvage/salvage_slice.h"

namespace {

namespace fs = std::filesystem;
using tidewrack::ArrowScan;
using Rows = std::vector<std::vector<std::string>>;

std::string temp_file(const std::string &bytes) {
  const fs::path path =
      fs::temp_directory_path() / ("tidewrack-arrow-" + std::to_string(::getpid()) + ".csv");
  std::ofstream(path, std::ios::binary) << bytes;
  return path.string();
}

using tidewrack::StringLayout;

struct Scanned {
  std::vector<std::string> names;
  Rows rows;
  tidewrack::SalvageCounts counts;
};

// Every batch of a scan of `bytes`, or the error that stopped it.
tidewrack::Result<Scanned> scan_all(const std::string &bytes,
                                    const tidewrack::ScanSettings &settings) {
  auto opened = ArrowScan::open(temp_file(bytes), settings);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  Scanned scanned{opened.value()->names(), {}, {}};
  for (;;) {
    ArrowArray batch{};
    auto next = opened.value()->next(&batch);
    if (!next.ok()) {
      return std::move(next.error());
    }
    if (!next.value()) {
      break;
    }
    EXPECT_LE(static_cast<std::size_t>(batch.length), settings.batch_rows);
    for (int64_t row = 0; row < batch.length; ++row) {
      scanned.rows.push_back(
          test_support::batch_row(batch, row, settings.layout == StringLayout::Views));
    }
    batch.release(&batch);
  }
  scanned.counts = *opened.value()->counts();
  return scanned;
}

// A damaged file: short, long and badly quoted rows, quoted line breaks,
// doubled quotes, bytes not UTF-8.
std::string damaged(unsigned seed) {
  std::mt19937 random(seed);
  const std::vector<std::string> cells = {"a",
                                          "Zo\xC3\xAB",
                                          "",
                                          "\"q,\"",
                                          "\"line\nbreak\"",
                                          "st\"ray",
                                          "\xFF",
                                          "\"open",
                                          "12.5",
                                          "\"past twelve bytes\"",
                                          "\"\"\"hi\"\"\"",
                                          "\"a \"\"quote\"\" past twelve\""};
  std::string text = "k,l,m,n\n";
  for (int row = 0; row < 400; ++row) {
    const std::size_t width = 3 + random() % 3;
    for (std::size_t cell = 0; cell < width; ++cell) {
      text += (cell ? "," : "") + cells[random() % cells.size()];
    }
    text += random() % 5 == 0 ? "\r\n" : "\n";
  }
  return text;
}

// The rows are those of the in-memory salvage, whatever the block size, the
// thread count, the batch size and the layout.
TEST(ArrowScan, RowsAreTheSalvagedRowsWhateverTheStretchesAndThreads) {
  std::vector<std::string> inputs = {"", "a,b\n", "x\n\ny\n",
                                     "\xEF\xBB\xBF"
                                     "a;a;\n1;2;3\n4\n"};
  for (unsigned seed = 0; seed < 4; ++seed) {
    inputs.push_back(damaged(seed));
  }
  for (const std::string &input : inputs) {
    for (const bool decode : {false, true}) {
      tidewrack::ScanSettings settings;
      settings.options.unclosed_quote_recovery = tidewrack::QuoteRecoveryLimits{};
      if (decode) {
        settings.options.encoding = tidewrack::input_encoding_named("auto");
      }
      auto expected = tidewrack::salvage_slice(input, settings.options);
      ASSERT_TRUE(expected.ok());
      const tidewrack::RowStore &clean = expected.value().clean_rows;
      for (const auto &[block, threads, batch, layout] :
           std::vector<std::tuple<std::size_t, unsigned, std::size_t, StringLayout>>{
               {1, 1, 1, StringLayout::Offsets},
               {100, 3, 7, StringLayout::Offsets},
               {4096, 2, 1000, StringLayout::Offsets},
               {1 << 20, 1, 1000, StringLayout::Offsets},
               {1, 1, 1, StringLayout::Views},
               {100, 3, 7, StringLayout::Views},
               {1 << 20, 2, 1000, StringLayout::Views}}) {
        settings.block_size = block;
        settings.threads = threads;
        settings.batch_rows = batch;
        settings.layout = layout;
        auto scanned = scan_all(input, settings);
        ASSERT_TRUE(scanned.ok()) << scanned.error().display();
        const std::string where =
            "block " + std::to_string(block) + ", threads " + std::to_string(threads) + ", views " +
            std::to_string(layout == StringLayout::Views) + ", input:\n" + input.substr(0, 80);
        ASSERT_EQ(scanned.value().rows.size() + (clean.size() > 0 ? 1 : 0), clean.size()) << where;
        for (std::size_t row = 1; row < clean.size(); ++row) {
          ASSERT_EQ(scanned.value().rows[row - 1], test_support::fields_of(clean.row(row)))
              << where;
        }
        if (clean.size() > 0) {
          const std::vector<std::string> header = test_support::fields_of(clean.row(0));
          EXPECT_EQ(scanned.value().names,
                    tidewrack::unique_column_names({header.begin(), header.end()}));
        }
        EXPECT_EQ(scanned.value().counts.salvaged_rows, expected.value().counts.salvaged_rows);
        EXPECT_EQ(scanned.value().counts.quarantined_rows,
                  expected.value().counts.quarantined_rows);
        EXPECT_EQ(scanned.value().counts.replaced_bytes, expected.value().counts.replaced_bytes);
      }
    }
  }
}

TEST(ArrowScan, RowsOfAnotherWidthWithoutOneAreRefusedByLine) {
  tidewrack::ScanSettings settings;
  settings.options.expected_columns = 0;
  settings.block_size = 1 << 20;
  settings.batch_rows = 10;
  auto scanned = scan_all("a,b\n1,2\n3\n", settings);
  ASSERT_FALSE(scanned.ok());
  EXPECT_EQ(scanned.error().kind(), tidewrack::SalvageError::Kind::Invalid);
  EXPECT_NE(scanned.error().display().find("line 3 holds 1 fields where the header holds 2"),
            std::string::npos)
      << scanned.error().display();
}

TEST(ArrowScan, ColumnNamesAreUniqueAsDataFrameUsersExpect) {
  using namespace std::string_view_literals;
  EXPECT_EQ(tidewrack::unique_column_names({"id", "", "name", "name", "name.1", " \xC2\xA0", "id",
                                            "code\0a"sv,
                                            "code\xEF\xBF\xBD"
                                            "a",
                                            "\0"sv, "a", "a.1", "a", "a"}),
            (std::vector<std::string>{"id", "Unnamed: 1", "name", "name.1", "name.1.1",
                                      "Unnamed: 5", "id.1",
                                      "code\xEF\xBF\xBD"
                                      "a",
                                      "code\xEF\xBF\xBD"
                                      "a.1",
                                      "\xEF\xBF\xBD", "a", "a.1", "a.2", "a.3"}));
}

// A name may be as long as ArrowScan::NAME_BYTES_LIMIT once its doubled
// quotes are undoubled; a longer one is refused before it is copied.
TEST(ArrowScan, ColumnNamesAreMeasuredUndoubled) {
  const std::size_t limit = ArrowScan::NAME_BYTES_LIMIT;
  for (const std::size_t extra : {0, 1}) {
    const std::string name = std::string(limit - 1 + extra, 'n') + "\"";
    const std::string input = "a,\"" + name.substr(0, name.size() - 1) + "\"\"\",c\n1,2,3\n";
    tidewrack::ScanSettings settings;
    settings.block_size = 1 << 20;
    auto opened = ArrowScan::open(temp_file(input), settings);
    if (extra == 0) {
      ASSERT_TRUE(opened.ok());
      EXPECT_EQ(opened.value()->names().at(1), name);
    } else {
      ASSERT_FALSE(opened.ok());
      EXPECT_EQ(opened.error().display(),
                tidewrack::ColumnRows::names_too_long(limit + 1, limit).display());
    }
  }
}

struct CountingPoll {
  int stop_from;
  int asked = 0;
  bool operator()(bool) { return ++asked >= stop_from; }
};

std::string rows_of_size(std::size_t size) {
  std::string rows = "a,b,c\n";
  while (rows.size() < size) {
    rows += "1,two,three\n4,five\n";
  }
  return rows;
}

// Every place that asks (reading, decoding, detecting, reconciling on one
// thread or several) stops the scan on its first "stop", in open() or next(),
// with Interrupted.
TEST(ArrowScan, StopsWhereverItsPollSaysSo) {
  const std::string input = rows_of_size(std::size_t{3} << 20);
  for (const unsigned threads : {1u, 2u}) {
    for (const bool decode : {false, true}) {
      SCOPED_TRACE(std::to_string(threads) + (decode ? " threads, decoded" : " threads"));
      tidewrack::ScanSettings settings;
      settings.threads = threads;
      settings.block_size = 1 << 20;
      settings.batch_rows = 1 << 16;
      if (decode) {
        settings.options.encoding = tidewrack::InputEncoding::Cp1252;
      }
      CountingPoll never{std::numeric_limits<int>::max()};
      settings.stop = tidewrack::StopPoll(never);
      ASSERT_TRUE(scan_all(input, settings).ok());
      ASSERT_GE(never.asked, 6); // 3 MiB read and parsed
      for (int stop_from = 1; stop_from <= never.asked; ++stop_from) {
        CountingPoll poll{stop_from};
        settings.stop = tidewrack::StopPoll(poll);
        auto scanned = scan_all(input, settings);
        // With threads the calling thread asks for the parts it takes, which vary.
        if (threads == 1) {
          EXPECT_EQ(poll.asked, stop_from);
        }
        ASSERT_EQ(scanned.ok(), poll.asked < stop_from) << "stop from question " << stop_from;
        if (!scanned.ok()) {
          EXPECT_EQ(scanned.error().kind(), tidewrack::SalvageError::Kind::Interrupted);
        }
      }
    }
  }
}

// A progress bar needs reports that grow every few MiB and end at the input's
// size once the rows are all out.
TEST(ArrowScan, ReportsProgressThroughTheInput) {
  const std::string input = rows_of_size(std::size_t{9} << 20);
  for (const unsigned threads : {1u, 2u}) {
    tidewrack::ScanSettings settings;
    settings.threads = threads;
    settings.block_size = 1 << 20;
    settings.batch_rows = 1 << 16;
    std::vector<std::uint64_t> reports;
    auto sink = [&](std::uint64_t done) { reports.push_back(done); };
    settings.progress = tidewrack::ProgressSink(sink);
    ASSERT_TRUE(scan_all(input, settings).ok());
    ASSERT_EQ(reports.size(), 3u) << "at 4 MiB, 8 MiB and the end";
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_GE(reports[0], tidewrack::ProgressSink::INTERVAL);
    EXPECT_EQ(reports.back(), input.size());
  }
}

// A field of SharedText::MIN_FIELD bytes or more goes out as it lies in the
// text read, not copied: the text read after it, on one thread or by parts
// reading ahead, leaves it as it is, and its batch keeps it once the scan is
// gone (the sanitizer build checks).
TEST(ArrowScan, LongFieldsGoOutAsReadAndOutliveTheScan) {
  // Longer than a column name may be too: only the header's are limited.
  std::string field(tidewrack::SharedText::MIN_FIELD + 1, 'w');
  for (std::size_t at = 0; at < field.size(); at += 4099) {
    field[at] = '\n';
  }
  const std::string between_row = "1,\"" + std::string(1000, 'b') + "\",3\n";
  std::string between;
  while (between.size() < (std::size_t{16} << 20)) {
    between += between_row;
  }
  // The second long row is wider than the header: its rest is merged.
  const std::string input = "a,b,c\n1,2,3\n4,\"" + field + "\",5\n" + between + "6,\"" + field +
                            "\",7,8\n" + between + "9,10,11\n";
  const Rows between_rows(between.size() / between_row.size(), {"1", std::string(1000, 'b'), "3"});
  Rows expected = {{"1", "2", "3"}, {"4", field, "5"}};
  expected.insert(expected.end(), between_rows.begin(), between_rows.end());
  expected.push_back({"6", field, "7,8"});
  expected.insert(expected.end(), between_rows.begin(), between_rows.end());
  expected.push_back({"9", "10", "11"});
  for (const auto &[layout, threads, decode] :
       {std::tuple{StringLayout::Offsets, 1u, false}, std::tuple{StringLayout::Views, 2u, false},
        std::tuple{StringLayout::Offsets, 2u, true}}) {
    tidewrack::ScanSettings settings;
    settings.block_size = 1 << 20;
    settings.threads = threads;
    settings.batch_rows = 1 << 16;
    settings.layout = layout;
    if (decode) {
      settings.options.encoding = tidewrack::input_encoding_named("auto");
    }
    auto opened = ArrowScan::open(temp_file(input), settings);
    ASSERT_TRUE(opened.ok());
    ArrowArrayStream stream{};
    tidewrack::export_stream(std::move(opened.value()), std::make_shared<tidewrack::ScanOutcome>(),
                             nullptr, &stream);
    std::vector<ArrowArray> batches;
    for (ArrowArray batch{}; stream.get_next(&stream, &batch) == 0 && batch.release != nullptr;) {
      batches.push_back(batch);
    }
    stream.release(&stream);
    Rows rows;
    for (ArrowArray &batch : batches) {
      for (int64_t row = 0; row < batch.length; ++row) {
        rows.push_back(test_support::batch_row(batch, row, layout == StringLayout::Views));
      }
      batch.release(&batch);
    }
    EXPECT_TRUE(rows == expected) << "threads " << threads << ", decoded " << decode;
  }
}

// A consumer that stops half-way releases the stream: everything is freed
// (the sanitizer build checks), batches taken before included.
TEST(ArrowScan, AStreamReleasedHalfWayFreesEverything) {
  for (const StringLayout layout : {StringLayout::Offsets, StringLayout::Views}) {
    tidewrack::ScanSettings settings;
    settings.block_size = 64;
    settings.threads = 2;
    settings.batch_rows = 3;
    settings.layout = layout;
    std::string input = "a,b\n";
    for (int row = 0; row < 500; ++row) {
      input += "1,\"x\ny, and past twelve bytes\"\n";
    }
    auto opened = ArrowScan::open(temp_file(input), settings);
    ASSERT_TRUE(opened.ok());
    auto outcome = std::make_shared<tidewrack::ScanOutcome>();
    ArrowArrayStream stream{};
    tidewrack::export_stream(std::move(opened.value()), outcome, nullptr, &stream);
    ArrowSchema schema{};
    ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
    EXPECT_EQ(schema.n_children, 2);
    EXPECT_STREQ(schema.children[1]->format, layout == StringLayout::Views ? "vu" : "u");
    schema.release(&schema);
    ArrowArray batch{};
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    ArrowArray moved = *batch.children[1]; // a consumer may move a child out
    batch.children[1]->release = nullptr;
    stream.release(&stream);
    batch.release(&batch);
    EXPECT_EQ(moved.length, 3);
    moved.release(&moved);
    EXPECT_FALSE(outcome->finished());
  }
}

} // namespace
