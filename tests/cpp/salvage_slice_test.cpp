#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "listed_salvage.h"
#include "output/csv_format.h"
#include "parser/resilient_parser.h"
#include "records.h"
#include "salvage/clean_rows.h"
#include "salvage/salvage_slice.h"

namespace {

using tidewrack::SalvageOptions;
using tidewrack::SalvageOutcome;
using Rows = std::vector<std::vector<std::string>>;

Rows clean_rows(const SalvageOutcome &outcome) {
  Rows rows;
  for (std::size_t i = 0; i < outcome.clean_rows.size(); ++i) {
    rows.push_back(test_support::fields_of(outcome.clean_rows.row(i)));
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

// The repair log of a salvage, rendered as the log file holds it.
std::string repair_log(const std::string &input, const SalvageOptions &options) {
  std::string log;
  const SalvageOutcome outcome = test_support::salvage_listing_repairs(input, options);
  for (const auto &event : outcome.repairs) {
    tidewrack::render_repair_line(log, event);
  }
  return log;
}

SalvageOptions recovering(std::uint64_t columns, tidewrack::QuoteRecoveryLimits limits = {}) {
  SalvageOptions options = with_columns(columns);
  options.unclosed_quote_recovery = limits;
  return options;
}

TEST(RepairLog, ListsEachChangeOfEachRecordInOrder) {
  struct Case {
    std::string name, input;
    SalvageOptions options;
    std::string log;
  };
  const Case cases[] = {
      {"padded", "a,b,c\np,q\nr\n", with_columns(3),
       "2,2,padded,1 empty field added\n3,3,padded,2 empty fields added\n"},
      {"merged", "a,b,c\nw,x,y,z\nv,w,x,y,z\n", with_columns(3),
       "2,2,merged,field 4 joined into column 3\n3,3,merged,fields 4-5 joined into column 3\n"},
      {"merged into one column", "a,b,c\n", with_columns(1),
       "1,1,merged,fields 2-3 joined into column 1\n"},
      {"quote_repaired", "a,b\n\"5\" screen\",x\n\"he said \"hi\" ok\",y\n", with_columns(2),
       "2,2,quote_repaired,1 stray quote kept as text\n"
       "3,3,quote_repaired,2 stray quotes kept as text\n"},
      {"quarantined", "a,b,c\np,q\nw,x,y,z\n", with_columns(3, false, false),
       "2,2,quarantined,Row has too few columns (expected 3)\n"
       "3,3,quarantined,Row has extra columns (expected 3)\n"},
      {"unclosed_quote, then the padding it leads to", "a,b,c\n1,\"x\n2,y,z\n", recovering(3),
       "2,2,unclosed_quote,quote on line 2 read as text\n2,2,padded,1 empty field added\n"},
      {"an unclosed quote meeting a quoted field on the next line", "a,b,c\n1,\"x,y\n2,\"z\",w\n",
       recovering(3), "2,2,unclosed_quote,quote on line 2 read as text\n"},
      {"two unclosed quotes do not pair across the lines between them",
       "a,b,c\n1,\"x,y\n2,z,w\n3,\"v,u\n", recovering(3),
       "2,2,unclosed_quote,quote on line 2 read as text\n"
       "4,4,unclosed_quote,quote on line 4 read as text\n"},
      {"a record over two lines with two changes", "a,b,c\n\"x\ny \"z\" w\",1,2,3\n",
       with_columns(3),
       "2,3,quote_repaired,2 stray quotes kept as text\n"
       "2,3,merged,field 4 joined into column 3\n"},
      {"a stray quote in a quarantined record", "a,b\n\"5\" screen\",x,y\n",
       with_columns(2, true, false),
       "2,2,quote_repaired,1 stray quote kept as text\n"
       "2,2,quarantined,Row has extra columns (expected 2)\n"},
      {"nothing changed", "a,b\n\"x\ny\",z\n\"\"\"q\"\"\",r\n", with_columns(2), ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(repair_log(c.input, c.options), c.log) << c.name;
  }
}

TEST(RepairLog, CountersAddUpTheChanges) {
  const std::string input = "a,b,c\np\nw,x,y,z\n\"5\" x\"\"\",\"a\"b\",c\n1,\"open\n2,y,z\n";
  SalvageOutcome outcome = test_support::salvage_listing_repairs(input, recovering(3));
  const auto &counts = outcome.counts;
  EXPECT_EQ(counts.padded_rows, 2u);
  EXPECT_EQ(counts.merged_rows, 1u);
  EXPECT_EQ(counts.repaired_rows, 3u) << "the classic counter counts padded and merged rows";
  EXPECT_EQ(counts.quote_repairs, 2u);
  EXPECT_EQ(counts.unclosed_quotes, 1u);
  EXPECT_EQ(outcome.repairs.size(), 5u);
  // Each event carries its record's bytes: the merged record is "w,x,y,z\n".
  EXPECT_EQ(
      input.substr(outcome.repairs[1].begin, outcome.repairs[1].end - outcome.repairs[1].begin),
      "w,x,y,z\n");
}

TEST(UnclosedQuotes, RecoverOnlyWhereTheSwallowedLinesAreRecordsOfTheirOwn) {
  auto lines = [](int fitting, int other) {
    std::string text;
    for (int i = 0; i < fitting + other; ++i) {
      text += i < other ? "p\n" : "p,q,r\n";
    }
    return text;
  };
  struct Case {
    std::string name, input;
    SalvageOptions options;
    std::uint64_t unclosed, total;
  };
  const Case cases[] = {
      {"runs to the end of the input", "h,i,j\n1,\"abc,x\n2,d,e\n3,f,g\n", recovering(3), 1, 4},
      {"a real multi-line field stays one field", "h,i,j\n1,\"line one\nline two\",x\n2,d,e\n",
       recovering(3), 0, 3},
      {"no width known", "h,i,j\n1,\"abc,x\n2,d,e\n", recovering(0), 0, 2},
      {"swallowed lines of another width", "h,i,j\n1,\"abc,x\n2,d\n3,f\n", recovering(3), 0, 2},
      {"nine in ten swallowed lines fit", "1,\"x\n" + lines(9, 1), recovering(3), 1, 11},
      {"eight in ten swallowed lines fit", "1,\"x\n" + lines(8, 2), recovering(3), 0, 1},
      {"closes past the line limit", "a,b\n1,\"x\n2,y\n3,z\n4,w\"\n", recovering(2, {2, 100}), 1,
       5},
      {"closes at the line limit", "a,b\n1,\"x\n2,y\n3,z\n4,w\"\n", recovering(2, {3, 100}), 0, 2},
      {"closes past the byte limit", "a,b\n1,\"x\n2,y\n3,z\n4,w\"\n", recovering(2, {100, 8}), 1,
       5},
      {"closes on the line that crosses the byte limit", "a,b\n1,\"x\n2,y\n3,z\n4,w\"\n",
       recovering(2, {100, 9}), 0, 2},
      {"nothing left to swallow", "a,b\n1,\"x\n", recovering(2), 1, 2},
      {"CR line breaks", "a,b\r1,\"x\r2,y\r3,z\r", recovering(2), 1, 4},
      {"open at the end of its own line only", "a,b\n1,\"x", recovering(2), 0, 2},
  };
  for (const Case &c : cases) {
    SalvageOutcome outcome = tidewrack::salvage_slice(c.input, c.options).value();
    EXPECT_EQ(outcome.counts.unclosed_quotes, c.unclosed) << c.name;
    EXPECT_EQ(outcome.counts.total_rows, c.total) << c.name;
    expect_invariants(outcome);
  }
}

TEST(UnclosedQuotes, TheQuoteStaysAsTextAndTheRecordEndsAtItsLine) {
  SalvageOutcome outcome =
      tidewrack::salvage_slice("h,i,j\n1,\"abc,x\n2,\"\"d,e\n", recovering(3)).value();
  EXPECT_EQ(clean_rows(outcome), (Rows{{"h", "i", "j"}, {"1", "\"abc", "x"}, {"2", "d", "e"}}));
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
      test_support::append_row(renderer, written, test_support::record_of(row),
                               tidewrack::RowShape{row.size(), false, 0}, "");
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
