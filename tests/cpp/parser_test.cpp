#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "naive_parser.h"
#include "parser/resilient_parser.h"

namespace {

using Fields = std::vector<std::string>;

struct Parsed {
  std::vector<Fields> records;
  std::vector<std::uint64_t> lines_after; // the line counter after each record
  std::vector<std::uint64_t> end_lines;
};

Parsed parse(std::string_view input, char delimiter = ',', bool repair = true, char quote = '"') {
  tidewrack::ResilientParser parser(input, static_cast<std::uint8_t>(delimiter),
                                    static_cast<std::uint8_t>(quote), repair);
  tidewrack::Record record;
  Parsed parsed;
  while (parser.next_row(record)) {
    Fields fields;
    for (std::size_t i = 0; i < record.size(); ++i) {
      fields.emplace_back(record.field(i));
    }
    parsed.records.push_back(fields);
    parsed.lines_after.push_back(parser.line());
    parsed.end_lines.push_back(record.end_line);
  }
  EXPECT_FALSE(parser.next_row(record)) << "a spent parser stays spent";
  return parsed;
}

struct Case {
  std::string input;
  std::vector<Fields> records;
};

class Records : public testing::TestWithParam<Case> {};

TEST_P(Records, MatchExpectedFields) {
  EXPECT_EQ(parse(GetParam().input).records, GetParam().records)
      << "input: " << testing::PrintToString(GetParam().input);
}

INSTANTIATE_TEST_SUITE_P(
    NotableInputs, Records,
    testing::Values(
        Case{"", {}}, Case{"a\n", {{"a"}}}, Case{"a,b,c", {{"a", "b", "c"}}},
        Case{"a,b,\n", {{"a", "b", ""}}}, Case{",", {{"", ""}}}, Case{",,\n", {{"", "", ""}}},
        Case{"\n", {{""}}}, Case{"a\n\nb\n", {{"a"}, {""}, {"b"}}},
        Case{"a\r\nb\rc\n\rd", {{"a"}, {"b"}, {"c"}, {""}, {"d"}}},
        Case{" a , b \n", {{" a ", " b "}}}, Case{" \t\n", {{" \t"}}},
        Case{"\"a,b\",c\n", {{"a,b", "c"}}}, Case{"\"a\"\"b\",c\n", {{"a\"b", "c"}}},
        Case{"\"\",\"\"\n", {{"", ""}}}, Case{"\"", {{""}}}, Case{"\"\"", {{""}}},
        Case{"\"\"\"", {{"\""}}}, Case{"\"\"\"\"", {{"\""}}}, Case{"a,\"", {{"a", ""}}},
        Case{"ab\"c,d\"e\n", {{"ab\"c", "d\"e"}}}, Case{"\"ab\"cd,e\n", {{"abcd", "e"}}},
        Case{"\"ab\"  cd,e\n", {{"ab  cd", "e"}}}, Case{"\"ab\" ,e\n", {{"ab", "e"}}},
        Case{"\"open,x\ny\n", {{"open,x\ny\n"}}},
        Case{"\"he said \"hi\" ok\",x\n", {{"he said \"hi\" ok", "x"}}},
        Case{"\"5\" screen\",x\n", {{"5\" screen", "x"}}}, Case{"\"x\"y\"\n", {{"x\"y"}}},
        Case{"\"a\"b\"c\"d\",e\n", {{"a\"b\"c\"d", "e"}}}, Case{"\"x\"y\" q\n", {{"xy\" q"}}},
        Case{"\"a,b\"x\"y,z\n", {{"a,bx\"y", "z"}}}, Case{"\"a\" b,\"c\"\n", {{"a\" b,\"c"}}},
        Case{"\xEF\xBB\xBF"
             "a,b\n",
             {{"a", "b"}}},
        Case{"caf\xC3\xA9,\xFF\xFE,ok", {{"caf\xC3\xA9", "\xEF\xBF\xBD\xEF\xBF\xBD", "ok"}}},
        Case{std::string("a\0b,c", 5), {{std::string("a\0b", 3), "c"}}}));

struct RulesCase {
  std::string input;
  tidewrack::ParseRules rules;
  std::vector<Fields> records; // data records only
  std::vector<int> kinds;      // of every record, comment and preamble lines too
};

tidewrack::ParseRules escaping(bool skip_blanks = false) {
  tidewrack::ParseRules rules;
  rules.escape = '\\';
  rules.skip_blanks = skip_blanks;
  return rules;
}

tidewrack::ParseRules around_table(std::string prefix, std::uint64_t preamble) {
  tidewrack::ParseRules rules;
  rules.comment_prefix = std::move(prefix);
  rules.preamble_lines = preamble;
  return rules;
}

class Rules : public testing::TestWithParam<RulesCase> {};

TEST_P(Rules, ReadTheDialect) {
  const RulesCase &c = GetParam();
  tidewrack::ResilientParser parser(c.input, ',', '"', true, tidewrack::ParserInput::Bytes,
                                    c.rules);
  tidewrack::Record record;
  std::vector<Fields> records;
  std::vector<int> kinds;
  while (parser.next_row(record)) {
    kinds.push_back(static_cast<int>(record.kind));
    if (record.kind == tidewrack::Record::Kind::Data) {
      Fields fields;
      for (std::size_t i = 0; i < record.size(); ++i) {
        fields.emplace_back(record.field(i));
      }
      records.push_back(fields);
    }
  }
  EXPECT_EQ(records, c.records) << "input: " << testing::PrintToString(c.input);
  EXPECT_EQ(kinds, c.kinds) << "input: " << testing::PrintToString(c.input);
}

tidewrack::ParseRules unquoted() {
  tidewrack::ParseRules rules;
  rules.quoting = false;
  return rules;
}

INSTANTIATE_TEST_SUITE_P(
    EachRule, Rules,
    testing::Values(
        // The escaped byte is literal, in quotes or out, a line break too; the
        // escape is dropped, but one at the very end stays.
        RulesCase{"Dr. Seltsam\\, oder,b\n", escaping(), {{"Dr. Seltsam, oder", "b"}}, {0}},
        RulesCase{"\"a\\\"b\",c\\\\d\n", escaping(), {{"a\"b", "c\\d"}}, {0}},
        RulesCase{"a\\\nb,c\nd\\", escaping(), {{"a\nb", "c"}, {"d\\"}}, {0, 0}},
        // Blanks after a delimiter are passed over, so a quoted field follows.
        RulesCase{"2011-01-03, , \"6,000,000\",Galway\n",
                  escaping(true),
                  {{"2011-01-03", "", "6,000,000", "Galway"}},
                  {0}},
        RulesCase{"a, \"b,c\"\n", escaping(false), {{"a", " \"b", "c\""}}, {0}},
        // Without quoting, the quote is text.
        RulesCase{"\"a,b\"\n", unquoted(), {{"\"a", "b\""}}, {0}},
        // Preamble lines come first, read whole, quotes and all; comment lines
        // only where the prefix starts a line.
        RulesCase{"Report \"Q1\nsoon\na,b\n# note, \"x\n1,#2\r\n#\n",
                  around_table("#", 2),
                  {{"a", "b"}, {"1", "#2"}},
                  {2, 2, 0, 1, 0, 1}},
        RulesCase{"//a\n/b\n", around_table("//", 0), {{"/b"}}, {1, 0}}));

TEST(Records, QuoteRepairOffClosesAtTheFirstQuote) {
  EXPECT_EQ(parse("\"he said \"hi\" ok\",x\n", ',', false).records,
            (std::vector<Fields>{{"he said hi\" ok\"", "x"}}));
  EXPECT_EQ(parse("\"5\" screen\",x\n", ',', false).records,
            (std::vector<Fields>{{"5 screen\"", "x"}}));
  EXPECT_EQ(parse("\"x\"y\"\n", ',', false).records, (std::vector<Fields>{{"xy\""}}));
  EXPECT_EQ(parse("\"a\"b\"c\"d\",e\n", ',', false).records,
            (std::vector<Fields>{{"ab\"c\"d\"", "e"}}));
  EXPECT_EQ(parse("\"a\" b,\"c\"\n", ',', false).records, (std::vector<Fields>{{"a b", "c"}}));
  EXPECT_EQ(parse("\"open,x\ny\n", ',', false).records, (std::vector<Fields>{{"open,x\ny\n"}}));
}

// A fully quoted TSV line used to collapse into one field because the tab after
// a closing quote was skipped as a blank before the delimiter was tested.
TEST(Records, RegressionQuotedTabSeparatedFieldsStayApart) {
  EXPECT_EQ(parse("\"a\"\t\"b\"\n", '\t').records, (std::vector<Fields>{{"a", "b"}}));
  EXPECT_EQ(parse("x\t\"a\"\t\"b\"\tc\n", '\t').records,
            (std::vector<Fields>{{"x", "a", "b", "c"}}));
  EXPECT_EQ(parse("\"a\"\tb\n", '\t').records, (std::vector<Fields>{{"a", "b"}}));
  EXPECT_EQ(parse("\"a\" \t\"b c\" \t\"d\"\n", '\t').records,
            (std::vector<Fields>{{"a", "b c", "d"}}));
  EXPECT_EQ(parse("\"a\"\t\"b\"\n", '\t', false).records, (std::vector<Fields>{{"a", "b"}}));
}

// Regression: blanks after a closing quote were dropped before any byte, which
// glued words: ‹"Whose Line Is It Anyway?" Episode #2.7› lost its space. They
// are dropped only before the delimiter, a line break or the end of the input.
TEST(Records, RegressionBlanksBeforeTextAfterAClosingQuoteStay) {
  struct Case {
    std::string input;
    char delimiter;
    std::vector<Fields> records;
  };
  const std::vector<Case> cases = {
      {"\"Whose Line Is It Anyway?\" Episode #2.7,1999\n",
       ',',
       {{"Whose Line Is It Anyway? Episode #2.7", "1999"}}},
      {"\"a\" x,b\n", ',', {{"a x", "b"}}},
      {"\"ab\" \t cd", ',', {{"ab \t cd"}}},
      {"\"a\"  ,b\r\n\"c\" \t\r\n\"d\"  ", ',', {{"a", "b"}, {"c"}, {"d"}}},
      {"\"a\"\tb\n\"c\" \td\n\"e\" f\tg\n", '\t', {{"a", "b"}, {"c", "d"}, {"e f", "g"}}},
      {"\"a\"\t x\n\"b\"\tx\n", ' ', {{"a", "x"}, {"b\tx"}}},
  };
  for (const Case &c : cases) {
    for (bool repair : {true, false}) {
      EXPECT_EQ(parse(c.input, c.delimiter, repair).records, c.records)
          << "input: " << testing::PrintToString(c.input) << " repair " << repair;
    }
  }
}

TEST(Records, HighDelimiterByteCutsMultiByteCharacters) {
  EXPECT_EQ(parse("a\xC2\xA7"
                  "b\xC2\xA7"
                  "c",
                  '\xC2')
                .records,
            (std::vector<Fields>{{"a",
                                  "\xEF\xBF\xBD"
                                  "b",
                                  "\xEF\xBF\xBD"
                                  "c"}}));
}

TEST(Lines, CounterStepsOncePerLineBreakAndPerQuotedLf) {
  EXPECT_EQ(parse("a\n").lines_after, (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(parse("a,b,c").lines_after, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(parse("a\n\nb\n").lines_after, (std::vector<std::uint64_t>{2, 3, 4}));
  EXPECT_EQ(parse("a\r\nb\rc\n\rd").lines_after, (std::vector<std::uint64_t>{2, 3, 4, 5, 5}));
  EXPECT_EQ(parse("\"a\"\r").lines_after, (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(parse("\"a\nb\",c\nd\n").lines_after, (std::vector<std::uint64_t>{3, 4}));
  EXPECT_EQ(parse("\"a\r\nb\",c\r\n").lines_after, (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(parse("\"a\rb\",c\r").lines_after, (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(parse("\"open,x\ny\n").lines_after, (std::vector<std::uint64_t>{3}));
}

TEST(Lines, RecordEndsOnTheLineOfItsLastByte) {
  EXPECT_EQ(parse("a\nb\nc").end_lines, (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(parse("a\nb\nc\n").end_lines, (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(parse("h\n\"x\ny\nz\",w\nlast").end_lines, (std::vector<std::uint64_t>{1, 4, 5}));
  EXPECT_EQ(parse("\xEF\xBB\xBFh\r\nq\r\n").end_lines, (std::vector<std::uint64_t>{1, 2}));
}

// Inputs drawn from the bytes that steer the parser, in short runs.
std::string generate(std::mt19937_64 &random, std::size_t max_length) {
  static const std::vector<std::string> pieces = {"a",
                                                  "b",
                                                  "xyz",
                                                  " ",
                                                  "\t",
                                                  ",",
                                                  ";",
                                                  "|",
                                                  "\"",
                                                  "\"\"",
                                                  "'",
                                                  "\r",
                                                  "\n",
                                                  "\r\n",
                                                  "\xC3\xA9",
                                                  "\xC3",
                                                  "\xA9",
                                                  "\xFF",
                                                  "\xE2\x82",
                                                  "\xF0\x9F\x98\x80",
                                                  "\xED\xA0\x80",
                                                  std::string(1, '\0'),
                                                  "\xC2\xA7",
                                                  "\\",
                                                  "\n#"};
  std::string input;
  if (random() % 8 == 0) {
    input = "\xEF\xBB\xBF";
  }
  std::size_t length = random() % (max_length + 1);
  while (input.size() < length) {
    input += pieces[random() % pieces.size()];
  }
  return input;
}

TEST(Differential, AgreesWithPlainTranscriptionOfTheRules) {
  const std::vector<std::uint8_t> delimiters = {',', ';', '\t', ' ', '"', '\n', 0xC2, 0xA7};
  const std::vector<std::uint8_t> quotes = {'"', '"', '\'', ' ', '\t', ',', '\r'};
  std::mt19937_64 random(20261207);
  for (int trial = 0; trial < 200000; ++trial) {
    std::string input = generate(random, trial % 100 == 0 ? 400 : 40);
    std::uint8_t delimiter = delimiters[random() % delimiters.size()];
    std::uint8_t quote = quotes[random() % quotes.size()];
    bool repair = random() % 4 != 0;
    naive::Recovery recovery;
    if (random() % 3 == 0) {
      recovery = {random() % 4, 1 + random() % 3, random() % 2 == 0 ? 8u : 64u};
    }
    tidewrack::ParseRules rules;
    if (random() % 3 == 0) {
      rules.quoting = random() % 4 != 0;
      if (random() % 2 == 0 && delimiter != '\\' && quote != '\\') {
        rules.escape = '\\';
      }
      rules.skip_blanks = random() % 2 == 0;
      rules.comment_prefix = random() % 2 == 0 ? "#" : "";
      rules.preamble_lines = random() % 3;
    }

    std::vector<naive::Row> expected =
        naive::parse(input, delimiter, quote, repair, recovery, rules);
    tidewrack::ResilientParser parser(input, delimiter, quote, repair,
                                      tidewrack::ParserInput::Bytes, rules);
    parser.recover_unclosed_quotes(recovery.columns, {recovery.lines, recovery.bytes});
    tidewrack::Record record;
    std::vector<naive::Row> actual;
    while (parser.next_row(record)) {
      naive::Row row{.fields = {},
                     .end_line = record.end_line,
                     .start_line = record.start_line,
                     .begin = record.begin,
                     .end = record.end,
                     .stray_quotes = record.stray_quotes,
                     .unclosed_quote_lines = record.unclosed_quote_lines,
                     .kind = static_cast<int>(record.kind)};
      for (std::size_t i = 0; i < record.size(); ++i) {
        row.fields.emplace_back(record.field(i));
      }
      actual.push_back(row);
    }
    ASSERT_EQ(actual, expected) << "input: " << testing::PrintToString(input) << " delimiter "
                                << int(delimiter) << " quote " << int(quote) << " repair " << repair
                                << " recovery for " << recovery.columns << " columns within "
                                << recovery.lines << " lines and " << recovery.bytes << " bytes"
                                << " quoting " << rules.quoting << " escape "
                                << int(rules.escape.value_or(0)) << " skip blanks "
                                << rules.skip_blanks << " comment " << rules.comment_prefix
                                << " preamble " << rules.preamble_lines;
  }
}

TEST(Differential, SanitizerAgreesOnEveryShortByteSequence) {
  std::mt19937_64 random(7);
  const std::vector<std::uint8_t> interesting = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                                                 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED,
                                                 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  for (int trial = 0; trial < 200000; ++trial) {
    std::string bytes;
    std::size_t length = random() % 7;
    for (std::size_t i = 0; i < length; ++i) {
      bytes += static_cast<char>(interesting[random() % interesting.size()]);
    }
    tidewrack::ResilientParser parser(bytes, '\n', '\n', false);
    tidewrack::Record record;
    std::string actual;
    if (!bytes.empty() && bytes.find('\n') == std::string::npos) {
      ASSERT_TRUE(parser.next_row(record));
      actual = std::string(record.field(0));
      ASSERT_EQ(actual, naive::sanitize(bytes)) << testing::PrintToString(bytes);
    }
  }
}

} // namespace
