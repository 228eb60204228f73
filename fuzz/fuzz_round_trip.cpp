// Round trip: the clean rows of a salvage, rendered as the output file renders
// them and parsed again with the same delimiter and quote character, come back
// exactly, whichever quote-repair setting reads them; with unclosed-quote
// recovery too, when the header asks for it.
//
// Input: four header bytes choose the options (salvage_case.h), the rest is
// the CSV input. Settings under which the output cannot be read back by
// construction are skipped: a delimiter or quote of 0x80 and above (written as
// two bytes, read as one), a delimiter equal to the quote character, and CR or
// LF as delimiter or quote.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "output/csv_format.h"
#include "parser/resilient_parser.h"
#include "records.h"
#include "salvage/reconcile.h"
#include "salvage/salvage_slice.h"
#include "salvage_case.h"

namespace {

bool can_round_trip(std::uint8_t delimiter, std::uint8_t quote) {
  auto plain = [](std::uint8_t byte) { return byte < 0x80 && byte != '\r' && byte != '\n'; };
  return plain(delimiter) && plain(quote) && delimiter != quote;
}

// Renders the clean rows as the output file renders them, setting nothing aside.
class RenderingSink : public tidewrack::NoPlainLane {
public:
  RenderingSink(tidewrack::CleanRowRenderer &renderer, std::string &output)
      : renderer_(renderer), output_(output) {}
  RenderingSink &rows() { return *this; }
  bool operator()(const tidewrack::Record &record, const tidewrack::RowShape &shape,
                  const std::string &merge_separator) {
    test_support::append_row(renderer_, output_, record, shape, merge_separator);
    return true;
  }
  void set_aside(const tidewrack::Record &, const std::string &) {}
  bool logging() const { return false; }
  void log(const tidewrack::RepairEvent &) {}
  void begin_stretch(std::string_view, tidewrack::TextWindow &) {}
  void end_stretch() {}
  bool stopped() const { return false; }

private:
  tidewrack::CleanRowRenderer &renderer_;
  std::string &output_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const fuzz::SalvageCase fuzz_case = fuzz::decode_salvage_case(data, size);
  tidewrack::SalvageOptions options = fuzz_case.options;
  options.unclosed_quote_recovery = fuzz_case.recovery;
  const std::string_view input = fuzz_case.input;

  const tidewrack::Settlement settlement = tidewrack::settle(input, options).value();
  if (!can_round_trip(settlement.delimiter, options.quote_char)) {
    return 0;
  }
  const tidewrack::SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();

  // Render exactly as file salvage writes its output.
  std::string output;
  tidewrack::CleanRowRenderer renderer(settlement.delimiter, options.quote_char);
  RenderingSink rendering(renderer, output);
  (void)tidewrack::salvage_into(input, options, {}, rendering);

  // The stored clean rows, rendered as plain rows, give the same text: the
  // file salvage and the in-memory salvage agree.
  std::string from_store;
  for (std::size_t i = 0; i < outcome.clean_rows.size(); ++i) {
    test_support::append_row(renderer, from_store, outcome.clean_rows.row(i));
  }
  if (from_store != output) {
    fuzz::fail("file output renders the stored clean rows", input,
               "streamed \"" + fuzz::escaped(output) + "\", stored \"" + fuzz::escaped(from_store) +
                   "\"");
  }

  // A first field that begins with U+FEFF is written at the very start of the
  // output, where every reader takes it for a byte-order mark; the format
  // encloses a field only for the quote, the delimiter and line breaks, so the
  // check reads such an output back behind a real mark.
  std::string readable = output.starts_with("\xEF\xBB\xBF") ? "\xEF\xBB\xBF" + output : output;

  for (bool repair : {false, true}) {
    tidewrack::ResilientParser parser(readable, settlement.delimiter, options.quote_char, repair);
    tidewrack::Record record;
    std::size_t index = 0;
    while (parser.next_row(record)) {
      std::vector<std::string> fields;
      for (std::size_t i = 0; i < record.size(); ++i) {
        fields.emplace_back(record.field(i));
      }
      if (index >= outcome.clean_rows.size()) {
        fuzz::fail("rendered clean rows parse back to themselves", input,
                   "surplus row " + fuzz::row_text(fields) + " in output \"" +
                       fuzz::escaped(output) + "\"");
      }
      std::vector<std::string> want = test_support::fields_of(outcome.clean_rows.row(index));
      if (fields != want) {
        fuzz::fail("rendered clean rows parse back to themselves", input,
                   std::string("read back with repair ") + (repair ? "on" : "off") + ": row " +
                       std::to_string(index) + " is " + fuzz::row_text(fields) + ", expected " +
                       fuzz::row_text(want) + "; output \"" + fuzz::escaped(output) + "\"");
      }
      ++index;
    }
    if (index != outcome.clean_rows.size()) {
      fuzz::fail("rendered clean rows parse back to themselves", input,
                 std::to_string(index) + " rows read back of " +
                     std::to_string(outcome.clean_rows.size()) + "; output \"" +
                     fuzz::escaped(output) + "\"");
    }
  }
  return 0;
}
