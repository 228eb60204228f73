#include <gtest/gtest.h>

#include <string>

#include "heuristics/dialect.h"
#include "heuristics/infer.h"
#include "heuristics/sniff.h"

namespace {

// The heuristics as the module function sniff and the default salvage run them.
std::uint8_t sniff_delimiter(std::string_view sample) {
  return tidewrack::sniff_delimiter(sample, '"');
}

std::uint64_t infer_column_count(std::string_view sample, char delimiter) {
  return tidewrack::infer_column_count(sample, static_cast<std::uint8_t>(delimiter), '"');
}

std::string repeat(const std::string &line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) {
    text += line;
  }
  return text;
}

struct SniffCase {
  std::string sample;
  char expected;
};

class Sniffing : public testing::TestWithParam<SniffCase> {};

// A sample without a line break is one record: the first candidate other than
// the quote, and detection read it to its end.
TEST(Sniffing, OneLineGoesToTheFirstCandidateOtherThanTheQuote) {
  for (const std::string sample : {"a;b;c;d", "a|b|c", ""}) {
    bool reached_end = false;
    EXPECT_EQ(
        *tidewrack::sniff_delimiter(sample, ',', {}, tidewrack::ParserInput::Bytes, &reached_end),
        ';');
    EXPECT_TRUE(reached_end);
  }
}

TEST_P(Sniffing, PicksTheMostConsistentWideSplit) {
  EXPECT_EQ(sniff_delimiter(GetParam().sample), static_cast<std::uint8_t>(GetParam().expected))
      << testing::PrintToString(GetParam().sample);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, Sniffing,
    testing::Values(SniffCase{"", ','}, SniffCase{"\n \n\t\n", ','},
                    SniffCase{"a;b;c;d\n", ','}, // one record only
                    SniffCase{"a;b;c;d", ','}, SniffCase{"\"a\nb\";c\n", ','},
                    SniffCase{"alpha\nbeta\ngamma\n", ','}, // nothing splits
                    SniffCase{"a;b\nc;d\n", ';'}, SniffCase{"a|b|c\nd|e|f\n", '|'},
                    SniffCase{"a\tb\nc\td\n", '\t'},
                    SniffCase{"a,b;c\nd,e;f\n", ','}, // tie: the earlier candidate
                    SniffCase{"a;b\nc;d\ne\n", ';'}, SniffCase{"a;b\n   \nc;d\n", ';'},
                    SniffCase{repeat("a;b\n", 50) + repeat("a,b,c\n", 500), ';'},
                    SniffCase{"\xEF\xBB\xBF"
                              "a;b\nc;d\n",
                              ';'},
                    // 2 and 5 fields equally frequent: 5 is dominant, so the semicolon
                    // scores 0.80 and beats the bar's 0.55 (with 2 it would score 0.5)
                    SniffCase{"a;b|x|y\nc;d;e;f;g\n", ';'},
                    // a consistent 2-column split beats a 4-column one holding 30 of 50
                    SniffCase{repeat("a|b|c|d;x\n", 30) + repeat("q;r\n", 20), ';'},
                    SniffCase{"\"a\"\t\"b\"\n\"c\"\t\"d\"\n", '\t'}));

TEST(Inference, TakesTheMostFrequentFieldCount) {
  EXPECT_EQ(infer_column_count("", ','), 0u);
  EXPECT_EQ(infer_column_count("\n  \n\t\r\n", ','), 0u);
  EXPECT_EQ(infer_column_count("a,b\nc,d,e\nf,g\n", ','), 2u);
  EXPECT_EQ(infer_column_count("a\nb\nc\n", ','), 1u);
  EXPECT_EQ(infer_column_count("a;b\nc;d\n", ','), 1u);
  EXPECT_EQ(infer_column_count(",,\n,,\nx\n", ','), 3u);
  // Unicode white space alone makes a line blank.
  EXPECT_EQ(infer_column_count("\u3000\n\u2003\u00a0\n\u0085\na,b\n", ','), 2u);
  // Quoted white space is blank too; an invalid byte reads as U+FFFD, which is not.
  EXPECT_EQ(infer_column_count("\" \"\n\"\t\"\n\" \"\n\xFF\n \x85\na,b\n", ','), 1u);
  EXPECT_EQ(infer_column_count(repeat("a,b,c\n", 100) + repeat("a,b,c,d\n", 300), ','), 3u);
  EXPECT_EQ(infer_column_count("\xEF\xBB\xBF"
                               "a;b\nc;d\n",
                               ';'),
            2u);
}

TEST(Inference, TiesGoToTheWiderCount) {
  EXPECT_EQ(infer_column_count("a,b\nc,d,e\n", ','), 3u);
  EXPECT_EQ(infer_column_count("a,b,c\nd,e\n", ','), 3u);
}

// Regression: sniffing and inference read quotes as the double quote whatever
// the salvage's quote character, so a comma inside 'Smith, John' split it and
// every row of a three-column file was padded to four.
TEST(QuoteCharacter, QuotedDelimitersSplitNothing) {
  const std::string commas = "id,name,x\n1,'Smith, John',x\n2,'Doe, Jane',y\n";
  EXPECT_EQ(tidewrack::infer_column_count(commas, ',', '\''), 3u);
  EXPECT_EQ(tidewrack::infer_column_count(commas, ',', '"'), 4u);
  const std::string semicolons = "'Smith, John, Jr';1\n'Doe, Jane, Sr';2\n";
  EXPECT_EQ(tidewrack::sniff_delimiter(semicolons, '\''), ';');
  EXPECT_EQ(tidewrack::sniff_delimiter(semicolons, '"'), ',');
}

TEST(QuoteCharacter, ACandidateEqualToTheQuoteIsPassedOver) {
  struct Case {
    std::string sample;
    char quote;
    char expected;
  };
  for (const Case &c : {Case{"alpha\nbeta\n", ',', ';'}, // the first candidate tried is the default
                        Case{"a,b\nc,d\n", ',', ';'}, Case{"a|b|c\nd|e|f\n", '|', ','},
                        Case{"a\tb\nc\td\n", '\t', ','}}) {
    EXPECT_EQ(tidewrack::sniff_delimiter(c.sample, static_cast<std::uint8_t>(c.quote)),
              static_cast<std::uint8_t>(c.expected))
        << testing::PrintToString(c.sample) << " quote " << int{c.quote};
  }
}

TEST(Inference, BlankLinesDoNotCountTowardTheLimit) {
  EXPECT_EQ(infer_column_count(repeat("\n", 1000) + "a,b\nc,d\n", ','), 2u);
  EXPECT_EQ(sniff_delimiter(repeat("  \n", 1000) + "a|b\nc|d\n"), '|');
}

} // namespace

namespace {

struct DialectCase {
  std::string name;
  std::string text;
  char delimiter;
  int quote; // -1: none
  bool escape;
  bool skip_blanks;
  std::string comment_prefix;
  std::uint64_t preamble_lines;
  std::uint64_t header_rows;
  std::uint64_t columns;
};

class DialectDetection : public testing::TestWithParam<DialectCase> {};

TEST_P(DialectDetection, ReadsEachPartOfTheDialect) {
  const DialectCase &c = GetParam();
  const tidewrack::Dialect found = *tidewrack::detect_dialect(c.text, {});
  const int quote = found.rules.quoting ? found.quote_char : -1;
  EXPECT_EQ(found.delimiter, static_cast<std::uint8_t>(c.delimiter));
  EXPECT_EQ(quote, c.quote);
  EXPECT_EQ(found.rules.escape.has_value(), c.escape);
  EXPECT_EQ(found.rules.skip_blanks, c.skip_blanks);
  EXPECT_EQ(found.rules.comment_prefix, c.comment_prefix);
  EXPECT_EQ(found.rules.preamble_lines, c.preamble_lines);
  EXPECT_EQ(found.header_rows, c.header_rows);
  EXPECT_EQ(found.columns, c.columns);
  EXPECT_GE(found.confidence, 0.0);
  EXPECT_LE(found.confidence, 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    IssueCases, DialectDetection,
    testing::Values(
        DialectCase{"classic", "a,b,c\n1,2,3\n4,5,6\n", ',', '"', false, false, "", 0, 1, 3},
        DialectCase{"no_header", "1,2,3\n4,5,6\n7,8,9\n", ',', '"', false, false, "", 0, 0, 3},
        DialectCase{"comments_and_escapes",
                    "# exported\n# by a tool\nname;title;year\nKubrick;Dr. Seltsam\\; oder;1964\n"
                    "Lang;Metropolis;1927\nWilder;Some\\;thing;1959\n",
                    ';', '"', true, false, "#", 0, 1, 3},
        DialectCase{"hash_header_is_a_header", "#id,name,age\n1,a,3\n2,b,4\n", ',', '"', false,
                    false, "", 0, 1, 3},
        DialectCase{"hash_on_every_line_is_data", "#1,apple,3\n#2,pear,4\n#3,fig,5\n", ',', '"',
                    false, false, "", 0, 0, 3},
        DialectCase{"single_quotes",
                    "id,name,price\n1,'Smith, John',3.5\n2,'Doe, Jane',4.25\n3,'Roe',5\n", ',',
                    '\'', false, false, "", 0, 1, 3},
        DialectCase{"quoted_after_a_blank",
                    "date,value,amount,city\n2011-01-03, , \"6,000,000\",Galway\n"
                    "2011-01-04, 5, \"7,000\",Cork\n2011-01-05, 7, 8,Cork\n",
                    ',', '"', false, true, "", 0, 1, 4},
        DialectCase{"colon_where_the_commas_split_no_table",
                    "a:b:c\n1:2:3\n4,5:6:7\nx:y:z\n8:9,5:1\n", ':', '"', false, false, "", 0, 1, 3},
        DialectCase{"width_tie_goes_to_the_header",
                    "id,name,age\n1101,John\n1102,Julie,26,Potatoes\n", ',', '"', false, false, "",
                    0, 1, 3},
        DialectCase{"preamble",
                    "Sales report Q1\nGenerated 2024-01-01\n\nid,name,amount\n1,a,2.5\n2,b,3.5\n"
                    "3,c,4\n",
                    ',', '"', false, false, "", 3, 1, 3},
        DialectCase{"decimal_commas_stay_with_semicolons", "x;y\n1,5;2,5\n3,25;4,75\n5,0;6,5\n",
                    ';', '"', false, false, "", 0, 1, 2},
        DialectCase{"dates_do_not_split_at_dashes",
                    "id,day,qty\n1,2024-02-01,4\n2,2024-02-01,500,9\n3,2024-02-02\n", ',', '"',
                    false, false, "", 0, 1, 3},
        DialectCase{"comma_and_space", "a, b, c\n1, 2, 3\n4, 5, 6\n7, 8, 9\n", ',', '"', false,
                    true, "", 0, 1, 3},
        DialectCase{"semicolon_and_space", "x; y\n1,5; 2\n3,5; 4\n5,5; 6\n", ';', '"', false, true,
                    "", 0, 1, 2},
        DialectCase{"some_cells_start_with_a_blank", "a,b,c\n1, 2,3\n4,5, 6\n7,8,9\n", ',', '"',
                    false, false, "", 0, 1, 3},
        DialectCase{"tabs_never_skip_blanks", "a\t b\t c\n1\t 2\t 3\n4\t 5\t 6\n", '\t', '"', false,
                    false, "", 0, 1, 3},
        DialectCase{"inch_marks_and_a_lone_quote",
                    "id,item,qty\n1,\"5 pipe,3\n2,12\" ruler,4\n3,plain,5\n4,27\" screen,6\n", ',',
                    -1, false, false, "", 0, 1, 3},
        DialectCase{"one_quoted_field_keeps_the_quote",
                    "id,item,qty\n1,\"5 pipe,3\n2,12\" ruler,4\n3,\"a, b\",5\n", ',', '"', false,
                    false, "", 0, 1, 3},
        DialectCase{"quoted_line_breaks_keep_the_quote",
                    "id,text,qty\n1,\"line one\nline, two\",3\n2,plain,4\n3,x,5\n", ',', '"', false,
                    false, "", 0, 1, 3},
        DialectCase{"title_and_unit_rows",
                    "name,height,weight\n,cm,kg\nAnn,170,60\nBob,180,75\nCy,165,58\n", ',', '"',
                    false, false, "", 0, 2, 3},
        DialectCase{"a_text_row_below_a_header_with_values", "name,age\nAnn,30\nBob,n/a\nCy,40\n",
                    ',', '"', false, false, "", 0, 1, 2}),
    [](const testing::TestParamInfo<DialectCase> &info) { return info.param.name; });

// A file that reads as one column without damage stays one column: another
// delimiter that would split it is a note, not a reading.
TEST(DialectDetection, AOneColumnFileStaysOneColumnAndNotesAnotherDelimiter) {
  for (const char *text : {"a:b:c\n1:2:3\n4:5:6\nx:y:z\n", "a^b^c\n1^2^3\n4^5^6\n",
                           "a b c\n1 2 3\n4 5 6\n7 8 9\n", "number\n1.1\n1.2\n1.3\n"}) {
    const tidewrack::Dialect found = *tidewrack::detect_dialect(text, {});
    EXPECT_EQ(found.delimiter, ',') << text;
    EXPECT_EQ(found.columns, 1u) << text;
    EXPECT_EQ(found.notes.size(), text[0] == 'n' ? 0u : 1u) << text;
  }
}

// A long line is read the classic way, not once per candidate.
TEST(DialectDetection, ALineLongerThanTheSampleIsReadTheClassicWay) {
  const std::string line = repeat("ab;cd,", 100000) + "\n";
  bool reached_end = false;
  const tidewrack::Dialect found =
      *tidewrack::detect_dialect(line + line, {}, tidewrack::ParserInput::Bytes, &reached_end);
  EXPECT_EQ(found.delimiter, sniff_delimiter(line + line));
  EXPECT_EQ(found.columns, infer_column_count(line + line, static_cast<char>(found.delimiter)));
  EXPECT_TRUE(reached_end);
}

} // namespace
