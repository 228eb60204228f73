#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "parser/resilient_parser.h"
#include "salvage/csv_format.h"
#include "salvage/salvage_slice.h"

namespace {

using tidewrack::SalvageOptions;
using tidewrack::SalvageOutcome;
using Rows = std::vector<std::vector<std::string>>;

Rows clean_rows(const SalvageOutcome &outcome) {
  Rows rows;
  for (std::size_t i = 0; i < outcome.clean_rows.size(); ++i) {
    rows.push_back(outcome.clean_rows.row(i).to_vector());
  }
  return rows;
}

SalvageOptions with_columns(std::uint64_t columns, bool fill = true, bool merge = true) {
  SalvageOptions options;
  options.delimiter = ',';
  options.expected_columns = columns;
  options.fill_ragged_rows = fill;
  options.merge_overflow = merge;
  return options;
}

void expect_invariants(const SalvageOutcome &outcome) {
  const auto &counts = outcome.counts;
  EXPECT_EQ(counts.total_rows, counts.salvaged_rows + counts.quarantined_rows);
  EXPECT_LE(counts.repaired_rows, counts.salvaged_rows);
  EXPECT_EQ(counts.salvaged_rows, outcome.clean_rows.size());
  EXPECT_EQ(counts.quarantined_rows, outcome.quarantine.size());
}

TEST(EmptyInput, ReportsNothingWhateverTheOptionsSay) {
  SalvageOptions options = with_columns(5);
  options.delimiter = ';';
  SalvageOutcome outcome = tidewrack::salvage_slice("", options).value();
  EXPECT_EQ(outcome.counts.total_rows, 0u);
  EXPECT_EQ(outcome.counts.inferred_columns, 0u);
  EXPECT_EQ(outcome.counts.detected_delimiter, U',');
  EXPECT_EQ(outcome.clean_rows.size(), 0u);
}

TEST(EmptyInput, AByteOrderMarkAloneRunsTheHeuristicsButYieldsNoRecord) {
  SalvageOutcome outcome = tidewrack::salvage_slice("\xEF\xBB\xBF", SalvageOptions{}).value();
  EXPECT_EQ(outcome.counts.total_rows, 0u);
  EXPECT_EQ(outcome.counts.detected_delimiter, U',');
}

TEST(Reconcile, PadsMergesOrQuarantinesByTheOptions) {
  const std::string input = "h1,h2,h3\np,q\nx,y,z,w,v\n\nok,ok,ok";
  SalvageOutcome repaired = tidewrack::salvage_slice(input, with_columns(3)).value();
  EXPECT_EQ(clean_rows(repaired), (Rows{{"h1", "h2", "h3"},
                                        {"p", "q", ""},
                                        {"x", "y", "z,w,v"},
                                        {"", "", ""},
                                        {"ok", "ok", "ok"}}));
  EXPECT_EQ(repaired.counts.repaired_rows, 3u);
  expect_invariants(repaired);

  SalvageOutcome strict = tidewrack::salvage_slice(input, with_columns(3, false, false)).value();
  EXPECT_EQ(clean_rows(strict), (Rows{{"h1", "h2", "h3"}, {"ok", "ok", "ok"}}));
  ASSERT_EQ(strict.quarantine.size(), 3u);
  EXPECT_EQ(strict.quarantine[0].line, 2u);
  EXPECT_EQ(strict.quarantine[0].reason, "Row has too few columns (expected 3)");
  EXPECT_EQ(strict.quarantine[0].fields, (std::vector<std::string>{"p", "q"}));
  EXPECT_EQ(strict.quarantine[1].reason, "Row has extra columns (expected 3)");
  EXPECT_EQ(strict.quarantine[1].fields, (std::vector<std::string>{"x", "y", "z", "w", "v"}));
  EXPECT_EQ(strict.quarantine[2].line, 4u);
  EXPECT_EQ(strict.quarantine[2].fields, (std::vector<std::string>{""}));
  EXPECT_EQ(strict.counts.repaired_rows, 0u);
  expect_invariants(strict);
}

TEST(Reconcile, ZeroColumnsAcceptsEveryWidth) {
  SalvageOutcome outcome = tidewrack::salvage_slice("a\nb,c\nd,e,f\n", with_columns(0)).value();
  EXPECT_EQ(clean_rows(outcome), (Rows{{"a"}, {"b", "c"}, {"d", "e", "f"}}));
  EXPECT_EQ(outcome.counts.repaired_rows, 0u);
}

TEST(Reconcile, OneColumnJoinsTheWholeRecord) {
  SalvageOutcome outcome = tidewrack::salvage_slice("a,b,c\n\n", with_columns(1)).value();
  EXPECT_EQ(clean_rows(outcome), (Rows{{"a,b,c"}, {""}}));
}

TEST(Reconcile, MergeSeparatorIsTheDelimiterAsACharacter) {
  SalvageOptions options = with_columns(2);
  options.delimiter = ';';
  EXPECT_EQ(clean_rows(tidewrack::salvage_slice("x;y;z\n", options).value()), (Rows{{"x", "y;z"}}));
  options.delimiter = 0xA7;
  SalvageOutcome outcome = tidewrack::salvage_slice("x\xA7y\xA7z\n", options).value();
  EXPECT_EQ(outcome.counts.detected_delimiter, U'\u00A7');
  EXPECT_EQ(clean_rows(outcome), (Rows{{"x", "y\xC2\xA7z"}}));
}

TEST(Reconcile, DetectsDelimiterAndWidthWhenNotGiven) {
  SalvageOutcome outcome =
      tidewrack::salvage_slice("a;b;c\nd;e;f\ng;h\n", SalvageOptions{}).value();
  EXPECT_EQ(outcome.counts.detected_delimiter, U';');
  EXPECT_EQ(outcome.counts.inferred_columns, 3u);
  EXPECT_EQ(clean_rows(outcome).back(), (std::vector<std::string>{"g", "h", ""}));
}

// Regression: with quote_char ' the heuristics still read " as the quote, so a
// comma inside 'Smith, John' padded every row with a phantom column, and a
// semicolon file with quoted commas was cut at the commas.
TEST(Reconcile, HeuristicsReadTheSalvagesQuoteCharacter) {
  SalvageOptions options;
  options.quote_char = '\'';
  SalvageOutcome commas =
      tidewrack::salvage_slice("id,name,x\n1,'Smith, John',x\n2,'Doe, Jane',y\n", options).value();
  EXPECT_EQ(commas.counts.inferred_columns, 3u);
  EXPECT_EQ(commas.counts.repaired_rows, 0u);
  EXPECT_EQ(clean_rows(commas)[1], (std::vector<std::string>{"1", "Smith, John", "x"}));

  SalvageOutcome semicolons =
      tidewrack::salvage_slice("'Smith, John, Jr';1\n'Doe, Jane, Sr';2\n", options).value();
  EXPECT_EQ(semicolons.counts.detected_delimiter, U';');
  EXPECT_EQ(clean_rows(semicolons), (Rows{{"Smith, John, Jr", "1"}, {"Doe, Jane, Sr", "2"}}));
}

TEST(Lines, QuarantinedRecordsCarryTheLineTheyEndOn) {
  SalvageOptions options = with_columns(3, false, false);
  auto lines = [&](const std::string &input) {
    std::vector<std::uint64_t> found;
    const SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();
    for (const auto &record : outcome.quarantine) {
      found.push_back(record.line);
    }
    return found;
  };
  EXPECT_EQ(lines("a,b,c\na,b,c\na,b,c\na,b,c\na,b,c\na,b,c\nbad\n"),
            (std::vector<std::uint64_t>{7}));
  EXPECT_EQ(lines("a,b,c\na,b,c\na,b,c\na,b,c\na,b,c\na,b,c\nbad"),
            (std::vector<std::uint64_t>{7}));
  EXPECT_EQ(lines("\xEF\xBB\xBF"
                  "bad\r\na,b,c\r\nbad\r"),
            (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(lines("a,b,c\rbad\rx,\"multi\nline\nfield\"\n"), (std::vector<std::uint64_t>{2, 5}));
  EXPECT_EQ(lines("a,b,c\n\"open\nx\ny"), (std::vector<std::uint64_t>{4}));
}

// Damaged inputs built from the bytes that stress quoting and width.
std::string damaged_input(std::mt19937_64 &random) {
  static const std::vector<std::string> pieces = {"a", "bc",   " ",  "\"",     "\"\"", ",",
                                                  ",", ";",    "\n", "\n",     "\r\n", "\r",
                                                  "é", "\xFF", "\t", "x,y,z\n"};
  std::string input;
  std::size_t length = random() % 120;
  while (input.size() < length) {
    input += pieces[random() % pieces.size()];
  }
  return input;
}

// Clean rows written out and parsed again with the same delimiter and quote
// come back exactly.
TEST(Properties, WrittenCleanRowsParseBackUnchanged) {
  std::mt19937_64 random(11);
  for (int trial = 0; trial < 20000; ++trial) {
    std::string input = damaged_input(random);
    SalvageOptions options;
    options.fill_ragged_rows = random() % 2;
    options.merge_overflow = random() % 2;
    options.repair_quotes = random() % 2;
    if (random() % 2) {
      options.quote_char = '\'';
    }
    SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();
    expect_invariants(outcome);
    auto delimiter = static_cast<std::uint8_t>(outcome.counts.detected_delimiter);
    tidewrack::CleanRowRenderer renderer(delimiter, options.quote_char);
    std::string written;
    Rows rows = clean_rows(outcome);
    for (const auto &row : rows) {
      tidewrack::Record record;
      for (const auto &field : row) {
        record.text += field;
        record.ends.push_back(record.text.size());
      }
      renderer.render(written, record, tidewrack::RowShape{row.size(), false, 0}, "");
    }
    tidewrack::ResilientParser parser(written, delimiter, options.quote_char, true);
    tidewrack::Record record;
    Rows reparsed;
    while (parser.next_row(record)) {
      std::vector<std::string> fields;
      for (std::size_t i = 0; i < record.size(); ++i) {
        fields.emplace_back(record.field(i));
      }
      reparsed.push_back(fields);
    }
    ASSERT_EQ(reparsed, rows) << testing::PrintToString(input);
  }
}

} // namespace
