#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "listed_salvage.h"
#include "output/csv_format.h"
#include "records.h"
#include "salvage/salvage_file.h"
#include "salvage/salvage_slice.h"

namespace {

using tidewrack::InputEncoding;
using tidewrack::SalvageOptions;
using tidewrack::SalvageOutcome;
using Rows = std::vector<std::vector<std::string>>;

// Latin-1 text in units of `width` bytes (2 or 4), in either byte order.
std::string units(const std::u32string &text, std::size_t width, bool big) {
  std::string out;
  for (char32_t c : text) {
    for (std::size_t k = 0; k < width; ++k) {
      out.push_back(static_cast<char>(c >> (8 * (big ? width - 1 - k : k))));
    }
  }
  return out;
}

SalvageOptions reading(std::optional<InputEncoding> encoding, std::uint64_t columns = 2) {
  SalvageOptions options;
  options.delimiter = ',';
  options.expected_columns = columns;
  options.encoding = encoding;
  return options;
}

Rows clean_rows(const SalvageOutcome &outcome) {
  Rows rows;
  for (std::size_t i = 0; i < outcome.clean_rows.size(); ++i) {
    rows.push_back(test_support::fields_of(outcome.clean_rows.row(i)));
  }
  return rows;
}

std::string repair_log(const SalvageOutcome &outcome) {
  std::string log;
  for (const auto &event : outcome.repairs) {
    tidewrack::render_repair_line(log, event);
  }
  return log;
}

// The text of the cp1252 spreadsheet exports that came out as "M\uFFFDller":
// every encoding gives back each character, and no NUL.
TEST(Encodings, ReadEveryCharacterBack) {
  const std::u32string text = U"id,name\n1,Müller\n2,£5\n";
  const std::string code_page = "id,name\n1,M\xFCller\n2,\xA3"
                                "5\n";
  const std::string utf8 = "id,name\n1,M\xC3\xBCller\n2,\xC2\xA3"
                           "5\n";
  const std::string le16 = units(text, 2, false), be16 = units(text, 2, true);
  const struct {
    std::string bytes;
    InputEncoding encoding;
    std::string used;
    std::uint64_t decoded;
  } cases[] = {
      {utf8, InputEncoding::Utf8, "utf-8", 0},
      {"\xEF\xBB\xBF" + utf8, InputEncoding::Auto, "utf-8", 0},
      {code_page, InputEncoding::Cp1252, "cp1252", 0},
      {code_page, InputEncoding::Latin1, "latin-1", 0},
      {code_page, InputEncoding::Auto, "utf-8+cp1252", 2},
      {"\xFF\xFE" + le16, InputEncoding::Auto, "utf-16-le", 0},
      {le16, InputEncoding::Auto, "utf-16-le", 0},
      {le16, InputEncoding::Utf16Le, "utf-16-le", 0},
      {"\xFE\xFF" + be16, InputEncoding::Utf16, "utf-16-be", 0},
      {be16, InputEncoding::Utf16, "utf-16-be", 0},
      {be16, InputEncoding::Auto, "utf-16-be", 0},
      {std::string("\0\0\xFE\xFF", 4) + units(text, 4, true), InputEncoding::Auto, "utf-32-be", 0},
      {units(text, 4, false), InputEncoding::Utf32, "utf-32-le", 0},
  };
  const Rows rows = {{"id", "name"},
                     {"1", "M\xC3\xBCller"},
                     {"2", "\xC2\xA3"
                           "5"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.used + " from " + std::to_string(c.bytes.size()) + " bytes");
    SalvageOptions sniffing;
    sniffing.encoding = c.encoding;
    const SalvageOutcome outcome = tidewrack::salvage_slice(c.bytes, sniffing).value();
    EXPECT_EQ(clean_rows(outcome), rows);
    EXPECT_EQ(outcome.counts.inferred_columns, 2u);
    EXPECT_EQ(outcome.counts.encoding, c.used);
    EXPECT_EQ(outcome.counts.decoded_bytes, c.decoded);
    EXPECT_EQ(outcome.counts.replaced_bytes, 0u);
  }
}

TEST(Encodings, LogWhatTheDecodingChangedFirstOfEachRecord) {
  const struct {
    std::string name, input;
    SalvageOptions options;
    std::string log;
    std::uint64_t decoded, replaced;
  } cases[] = {
      {"auto reads what is not UTF-8 as cp1252", "a,b\nM\xFCller,\x93q\x94\n",
       reading(InputEncoding::Auto), "2,2,decoded,3 bytes read as cp1252\n", 3, 0},
      {"over the lines of a record", "\"x\ny\xE9\",z\n", reading(InputEncoding::Auto),
       "1,2,decoded,1 byte read as cp1252\n", 1, 0},
      {"utf-8 replaces maximal subparts", "a,\xFF\n\xE2\x82,\xC3\n", reading(InputEncoding::Utf8),
       "1,1,replaced,\"1 byte not decodable, replaced by U+FFFD\"\n"
       "2,2,replaced,\"3 bytes not decodable, replaced by U+FFFD\"\n",
       0, 4},
      {"before the padding", "a,b,c\n\xFF,q\n", reading(InputEncoding::Utf8, 3),
       "2,2,replaced,\"1 byte not decodable, replaced by U+FFFD\"\n"
       "2,2,padded,1 empty field added\n",
       0, 1},
      {"an unpaired surrogate",
       units(U"a,b\n", 2, true) + std::string("\xDC\x00", 2) + units(U",c\n", 2, true),
       reading(InputEncoding::Utf16Be),
       "2,2,replaced,\"2 bytes not decodable, replaced by U+FFFD\"\n", 0, 2},
      {"a code page the user named", "M\xFCller,\x93q\x94\n", reading(InputEncoding::Cp1252), "", 0,
       0},
      {"the classic reading", "a,\xFF\n", reading(std::nullopt), "", 0, 0},
  };
  for (const auto &c : cases) {
    const SalvageOutcome outcome = test_support::salvage_listing_repairs(c.input, c.options);
    EXPECT_EQ(repair_log(outcome), c.log) << c.name;
    EXPECT_EQ(outcome.counts.decoded_bytes, c.decoded) << c.name;
    EXPECT_EQ(outcome.counts.replaced_bytes, c.replaced) << c.name;
  }
}

// The decoder removes the input's own byte-order mark; a U+FEFF after it is
// text, as the classic reading keeps a second mark.
TEST(Encodings, SkipOneByteOrderMark) {
  const std::string mark = "\xEF\xBB\xBF";
  const struct {
    std::optional<InputEncoding> encoding;
    std::string input, first_field;
  } cases[] = {
      {std::nullopt, mark + mark + "a,b\n", mark + "a"},
      {InputEncoding::Utf8, mark + mark + "a,b\n", mark + "a"},
      {InputEncoding::Auto, mark + "a,b\n", "a"},
      {InputEncoding::Auto, "\xFF\xFE" + units(U"\uFEFFa,b\n", 2, false), mark + "a"},
      {InputEncoding::Cp1252, mark + "a,b\n",
       "\xC3\xAF\xC2\xBB\xC2\xBF"
       "a"},
  };
  for (const auto &c : cases) {
    const SalvageOutcome outcome = tidewrack::salvage_slice(c.input, reading(c.encoding)).value();
    ASSERT_EQ(outcome.clean_rows.size(), 1u);
    EXPECT_EQ(test_support::fields_of(outcome.clean_rows.row(0)),
              (std::vector<std::string>{c.first_field, "b"}))
        << (c.encoding ? static_cast<int>(*c.encoding) : -1);
  }
}

TEST(Encodings, UtfEightGivesTheClassicRowsButCountsItsReplacements) {
  const std::string input = "a,\xF0\x9F\x98,\"q\xC0\"\n\xFF\xFE,\xED\xA0\x80\n";
  SalvageOptions classic = reading(std::nullopt, 0), named = reading(InputEncoding::Utf8, 0);
  const SalvageOutcome before = tidewrack::salvage_slice(input, classic).value();
  const SalvageOutcome after = tidewrack::salvage_slice(input, named).value();
  EXPECT_EQ(clean_rows(after), clean_rows(before));
  EXPECT_EQ(before.counts.replaced_bytes, 0u);
  EXPECT_EQ(before.counts.encoding, "");
  EXPECT_EQ(after.counts.replaced_bytes, 9u);
  // The one difference: the classic reading drops a closing quote before it
  // replaces, so the halves of a sequence on both sides join; the decoder
  // reads the bytes as they stand.
  const std::string split = "\"\xC3\"\xA9,x\n";
  EXPECT_EQ(clean_rows(tidewrack::salvage_slice(split, classic).value()),
            (Rows{{"\xC3\xA9", "x"}}));
  EXPECT_EQ(clean_rows(tidewrack::salvage_slice(split, named).value()),
            (Rows{{"\xEF\xBF\xBD\xEF\xBF\xBD", "x"}}));
}

TEST(Encodings, NamesAsUsersWriteThem) {
  const struct {
    const char *name;
    std::optional<InputEncoding> encoding;
  } cases[] = {
      {"auto", InputEncoding::Auto},
      {"UTF-8", InputEncoding::Utf8},
      {"utf8", InputEncoding::Utf8},
      {"utf_8_sig", InputEncoding::Utf8},
      {"Windows-1252", InputEncoding::Cp1252},
      {"ISO-8859-1", InputEncoding::Latin1},
      {"latin1", InputEncoding::Latin1},
      {"utf-16", InputEncoding::Utf16},
      {"UTF-16LE", InputEncoding::Utf16Le},
      {"utf_16_be", InputEncoding::Utf16Be},
      {"utf-32", InputEncoding::Utf32},
      {"utf-32-be", InputEncoding::Utf32Be},
      {"utf-7", std::nullopt},
      {"", std::nullopt},
      {"utf-8 ", std::nullopt},
      {"latin-2", std::nullopt},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(tidewrack::input_encoding_named(c.name), c.encoding) << '"' << c.name << '"';
  }
}

TEST(Encodings, RefuseDelimitersAndQuotesThatDecodedTextCannotHold) {
  SalvageOptions options = reading(InputEncoding::Auto);
  EXPECT_EQ(tidewrack::unreadable_options(options), "");
  options.delimiter = 0xA7;
  EXPECT_EQ(tidewrack::unreadable_options(options),
            "delimiter must be an ASCII character when an encoding is given");
  options.delimiter = ';';
  options.quote_char = 0xE9;
  EXPECT_EQ(tidewrack::unreadable_options(options),
            "quote_char must be an ASCII character when an encoding is given");
  options.encoding.reset();
  EXPECT_EQ(tidewrack::unreadable_options(options), "") << "the classic reading takes any byte";
}

// The UTF-16 exports that came out full of NUL bytes and of the wrong shape.
TEST(Encodings, FileSalvageWritesDecodedRowsQuarantineAndLog) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tidewrack-encoding-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto path = [&](const char *name) { return (dir / name).string(); };
  auto read = [](const std::string &file) {
    std::stringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    return bytes.str();
  };
  std::ofstream(path("in.csv"), std::ios::binary)
      << "\xFF\xFE" + units(U"id,name\n1,Müller\n2,£5,x\n3,", 2, false) +
             std::string("\x00\xD8", 2) + units(U"\n", 2, false);
  SalvageOptions options;
  options.merge_overflow = false;
  options.encoding = InputEncoding::Auto;
  auto result =
      tidewrack::salvage_file(path("in.csv"), path("out.csv"), path("q.csv"), options, path("log"));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(read(path("out.csv")), "id,name\n1,M\xC3\xBCller\n3,\xEF\xBF\xBD\n");
  EXPECT_EQ(read(path("q.csv")), "line,reason,raw_content\n"
                                 "3,\"Row has extra columns (expected 2)\",\"2,\xC2\xA3"
                                 "5,x\"\n");
  EXPECT_EQ(read(path("log")), "line_start,line_end,action,detail\n"
                               "3,3,quarantined,Row has extra columns (expected 2)\n"
                               "4,4,replaced,\"2 bytes not decodable, replaced by U+FFFD\"\n");
  EXPECT_EQ(result.value().encoding, "utf-16-le");
  EXPECT_EQ(result.value().replaced_bytes, 2u);
  std::filesystem::remove_all(dir);
}

} // namespace
