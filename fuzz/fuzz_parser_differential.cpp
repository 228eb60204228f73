// Differential target: the resilient parser against the naive transcription of
// its rules (tests/support/naive_parser.cpp). Both must cut every input into the
// same records, field for field, with the same lines, offsets, stray quotes and
// recovered quotes. A second parser counting the records in step (count_row)
// must see the same field counts, first fields (or, put together from pieces,
// their heads up to the first ASCII byte that is no white space) and blank
// records, and stand at the same offset and line after each.
//
// Input: byte 0 is the delimiter, byte 1 the quote character, byte 2 the
// settings: bit 0 switches quote repair on, bit 1 unclosed-quote recovery, for
// records of (bits 2-4) columns within a window of 1 + (bits 5-6) lines and
// 8 or 64 (bit 7) bytes. The rest is the CSV input, whose last byte also
// draws reading rules beyond the classic ones for a second reading.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "heuristics/blank_record.h"
#include "naive_parser.h"
#include "parser/resilient_parser.h"

namespace {

// The first field as count_row builds it: `built` is `field`, or its head up
// to its first ASCII byte that is no white space.
bool built_as_counted(std::string_view built, std::string_view field) {
  if (built == field) {
    return true;
  }
  std::size_t settled = 0;
  while (settled < built.size() &&
         (static_cast<unsigned char>(built[settled]) >= 0x80 ||
          std::string_view(" \t\n\v\f\r").find(built[settled]) != std::string_view::npos)) {
    ++settled;
  }
  return field.starts_with(built) && settled + 1 == built.size();
}

void check(std::string_view input, std::uint8_t delimiter, std::uint8_t quote, bool repair,
           naive::Recovery recovery, const tidewrack::ParseRules &rules) {
  const std::vector<naive::Row> expected =
      naive::parse(input, delimiter, quote, repair, recovery, rules);
  const std::string settings =
      "delimiter byte " + std::to_string(delimiter) + ", quote byte " + std::to_string(quote) +
      ", repair " + (repair ? "on" : "off") + ", recovery for " + std::to_string(recovery.columns) +
      " columns within " + std::to_string(recovery.lines) + " lines and " +
      std::to_string(recovery.bytes) + " bytes, quoting " + (rules.quoting ? "on" : "off") +
      ", escape byte " + std::to_string(rules.escape.value_or(0)) + ", blanks skipped " +
      (rules.skip_blanks ? "yes" : "no") + ", comment prefix \"" + rules.comment_prefix +
      "\", preamble lines " + std::to_string(rules.preamble_lines) +
      ", blanks after a closing quote " + (rules.keep_blanks_after_quote ? "kept" : "left out") +
      ", lone CRs in fields " + (rules.count_lone_cr ? "counted" : "not counted");

  tidewrack::ResilientParser parser(input, delimiter, quote, repair, tidewrack::ParserInput::Bytes,
                                    rules);
  tidewrack::ResilientParser counter(input, delimiter, quote, repair, tidewrack::ParserInput::Bytes,
                                     rules);
  if (recovery.lines != 0) {
    parser.recover_unclosed_quotes(recovery.columns, {recovery.lines, recovery.bytes});
    counter.recover_unclosed_quotes(recovery.columns, {recovery.lines, recovery.bytes});
  }
  tidewrack::Record record; // reused like the engine reuses it
  tidewrack::Record first_field;
  std::size_t index = 0;
  while (parser.next_row(record)) {
    if (record.kind != tidewrack::Record::Kind::Data) {
      // A comment or preamble line: no fields, and counting passes over it.
      if (index >= expected.size() || expected[index].kind != static_cast<int>(record.kind) ||
          record.size() != 0 || record.begin != expected[index].begin ||
          record.end != expected[index].end || record.end_line != expected[index].end_line) {
        fuzz::fail("the parser leaves out the naive parser's comment and preamble lines", input,
                   settings + ": record " + std::to_string(index));
      }
      ++index;
      continue;
    }
    std::vector<std::string> fields;
    for (std::size_t i = 0; i < record.size(); ++i) {
      fields.emplace_back(record.field(i));
      if (!fuzz::is_well_formed_utf8(fields.back())) {
        fuzz::fail("every field is well-formed UTF-8", input,
                   settings + ": field " + fuzz::escaped(fields.back()));
      }
    }
    if (index >= expected.size()) {
      fuzz::fail("the parser yields the naive parser's records", input,
                 settings + ": extra record " + std::to_string(index) + " " +
                     fuzz::row_text(fields));
    }
    const naive::Row &want = expected[index];
    if (fields != want.fields || record.end_line != want.end_line) {
      fuzz::fail("the parser yields the naive parser's records", input,
                 settings + ": record " + std::to_string(index) + " is " + fuzz::row_text(fields) +
                     " ending on line " + std::to_string(record.end_line) + ", expected " +
                     fuzz::row_text(want.fields) + " ending on line " +
                     std::to_string(want.end_line));
    }
    if (record.start_line != want.start_line || record.begin != want.begin ||
        record.end != want.end || record.stray_quotes != want.stray_quotes ||
        record.unclosed_quote_lines != want.unclosed_quote_lines) {
      fuzz::fail("the parser notes what the naive parser notes", input,
                 settings + ": record " + std::to_string(index) + " has lines " +
                     std::to_string(record.start_line) + " to " + std::to_string(record.end_line) +
                     ", bytes " + std::to_string(record.begin) + " to " +
                     std::to_string(record.end) + ", " + std::to_string(record.stray_quotes) +
                     " stray quotes, " + std::to_string(record.unclosed_quote_lines.size()) +
                     " recovered quotes; expected lines " + std::to_string(want.start_line) +
                     " to " + std::to_string(want.end_line) + ", bytes " +
                     std::to_string(want.begin) + " to " + std::to_string(want.end) + ", " +
                     std::to_string(want.stray_quotes) + " stray quotes, " +
                     std::to_string(want.unclosed_quote_lines.size()) + " recovered quotes");
    }
    if (fields.empty()) {
      fuzz::fail("a record holds at least one field", input, settings);
    }
    const std::size_t counted = counter.count_row(first_field);
    const bool blank = counted == 1 && tidewrack::is_blank_record(first_field);
    if (counted != fields.size() || first_field.size() == 0 ||
        !built_as_counted(first_field.field(0), fields.front()) ||
        blank != tidewrack::is_blank_record(record) || counter.pos() != parser.pos() ||
        counter.line() != parser.line()) {
      fuzz::fail(
          "counting a record agrees with cutting it", input,
          settings + ": record " + std::to_string(index) + " counted " + std::to_string(counted) +
              " fields, first " +
              fuzz::escaped(first_field.size() == 0 ? std::string_view() : first_field.field(0)) +
              (blank ? ", blank" : "") + ", up to byte " + std::to_string(counter.pos()) +
              " line " + std::to_string(counter.line()) + "; cut " + fuzz::row_text(fields) +
              " up to byte " + std::to_string(parser.pos()) + " line " +
              std::to_string(parser.line()));
    }
    ++index;
  }
  if (index != expected.size()) {
    fuzz::fail("the parser yields the naive parser's records", input,
               settings + ": " + std::to_string(index) + " records, expected " +
                   std::to_string(expected.size()));
  }
  // A spent parser stays spent.
  if (parser.next_row(record) || parser.pos() != input.size() ||
      counter.count_row(first_field) != 0) {
    fuzz::fail("the parser is spent after the end of the input", input, settings);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  const std::uint8_t delimiter = data[0];
  const std::uint8_t quote = data[1];
  const bool repair = (data[2] & 1) != 0;
  naive::Recovery recovery;
  if ((data[2] & 2) != 0) {
    recovery = {static_cast<std::uint64_t>((data[2] >> 2) & 7),
                1 + static_cast<std::uint64_t>((data[2] >> 5) & 3),
                (data[2] & 0x80) != 0 ? 64u : 8u};
  }
  const std::string_view input(reinterpret_cast<const char *>(data) + 3, size - 3);
  check(input, delimiter, quote, repair, recovery, {});
  // The last byte draws reading rules for a second reading: bits 0-1 preamble
  // lines, bit 2 blanks skipped, bit 3 a backslash escape (or, when the
  // delimiter or the quote is one, none), bit 4 `#` comments, bit 5 no quoting,
  // bit 6 blanks after a closing quote kept and lone CRs counted.
  if (!input.empty() && (input.back() & 0x7F) != 0) {
    const auto bits = static_cast<std::uint8_t>(input.back());
    tidewrack::ParseRules rules;
    rules.preamble_lines = bits & 3u;
    rules.skip_blanks = (bits & 4) != 0;
    if ((bits & 8) != 0 && delimiter != '\\' && quote != '\\') {
      rules.escape = '\\';
    }
    rules.comment_prefix = (bits & 16) != 0 ? "#" : "";
    rules.quoting = (bits & 32) == 0;
    rules.keep_blanks_after_quote = rules.count_lone_cr = (bits & 64) != 0;
    check(input, delimiter, quote, repair, recovery, rules);
  }
  return 0;
}
