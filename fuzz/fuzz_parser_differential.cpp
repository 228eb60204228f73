// Differential target: the resilient parser against the naive transcription of
// its rules (tests/cpp/naive_parser.cpp). Both must cut every input into the
// same records, field for field, with the same line numbers.
//
// Input: byte 0 is the delimiter, byte 1 the quote character, bit 0 of byte 2
// switches quote repair on; the rest is the CSV input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "naive_parser.h"
#include "parser/resilient_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  const std::uint8_t delimiter = data[0];
  const std::uint8_t quote = data[1];
  const bool repair = (data[2] & 1) != 0;
  const std::string_view input(reinterpret_cast<const char *>(data) + 3, size - 3);

  const std::vector<naive::Row> expected = naive::parse(input, delimiter, quote, repair);
  const std::string settings = "delimiter byte " + std::to_string(delimiter) +
                               ", quote byte " + std::to_string(quote) + ", repair " + (repair ? "on" : "off");

  tidewrack::ResilientParser parser(input, delimiter, quote, repair);
  tidewrack::Record record; // reused like the engine reuses it
  std::size_t index = 0;
  while (parser.next_row(record)) {
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
    if (fields.empty()) {
      fuzz::fail("a record holds at least one field", input, settings);
    }
    ++index;
  }
  if (index != expected.size()) {
    fuzz::fail("the parser yields the naive parser's records", input,
               settings + ": " + std::to_string(index) + " records, expected " +
                   std::to_string(expected.size()));
  }
  // A spent parser stays spent.
  if (parser.next_row(record) || parser.pos() != input.size()) {
    fuzz::fail("the parser is spent after the end of the input", input, settings);
  }
  return 0;
}
