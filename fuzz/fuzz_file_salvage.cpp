// File salvage against slice salvage: the file that salvage_file writes holds
// exactly the clean rows of salvage_slice, rendered one per line, and its
// quarantine file exactly the quarantine records; the counters agree. File
// salvage cuts and renders plain records in one pass of its own, so this is
// what keeps that fast lane honest.
//
// The repair log changes nothing else: with a log path the clean and quarantine
// files are byte for byte those of the classic run, the log holds the changes
// salvage_slice lists, and its lines add up to the counters. With unclosed-quote
// recovery on, the same agreements hold, and a run that recovers no quote is
// the classic run (fuzz_round_trip reads the recovered output back).
//
// Aligned repairs: with align_columns (and a lone empty field quoted) the same
// agreements hold (file and slice salvage, every block size and thread count),
// and against the classic run the quarantine is the same, and so are the clean
// rows but those classic repaired: each of those has the expected width and
// holds the classic row's text, less delimiters, quotes and blanks, which a
// repair may add or take away.
//
// Decoding: read as UTF-8, an input gives the classic files and counters, the
// parser replacing what is not UTF-8 exactly as the decoder does, unless a
// dropped closing quote splits an invalid sequence (below); the replaced bytes
// are those outside well-formed sequences; auto reads those
// same bytes as cp1252, and valid UTF-8 exactly as the classic run does. With
// any encoding, file and slice salvage agree and the log adds up.
//
// Blocks and threads: file salvage reads and reconciles its input a block at a
// time, each cut into parts for its threads; the files and counters are the
// same for every block size, down to one byte, which puts a block boundary at
// every position of a short input, and for every thread count.
//
// Dialect rules: the last input byte also draws reading rules beyond the
// classic ones (or the whole dialect detected); file and slice salvage agree
// under them too, for every block size and thread count, and comment and
// preamble lines are logged one each.
//
// Input: four header bytes choose the options (salvage_case.h), the rest is
// the CSV input. The files live in a directory of their own under $TMPDIR.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "base/utf8.h"
#include "encoding/detect.h"
#include "fuzz_check.h"
#include "listed_salvage.h"
#include "output/csv_format.h"
#include "records.h"
#include "salvage/salvage_file.h"
#include "salvage/salvage_slice.h"
#include "salvage_case.h"
#include "scratch_files.h"

namespace {

namespace fs = std::filesystem;

// What a salvage wrote, or would write.
struct Written {
  tidewrack::SalvageCounts counts;
  std::string clean;
  std::string quarantine;
  std::string log;
};

std::string counts_text(const tidewrack::SalvageCounts &counts) {
  return "total " + std::to_string(counts.total_rows) + " salvaged " +
         std::to_string(counts.salvaged_rows) + " repaired " +
         std::to_string(counts.repaired_rows) + " quarantined " +
         std::to_string(counts.quarantined_rows) + " columns " +
         std::to_string(counts.inferred_columns) + " delimiter " +
         std::to_string(counts.detected_delimiter) + " padded " +
         std::to_string(counts.padded_rows) + " merged " + std::to_string(counts.merged_rows) +
         " quote repairs " + std::to_string(counts.quote_repairs) + " unclosed quotes " +
         std::to_string(counts.unclosed_quotes) + " decoded " +
         std::to_string(counts.decoded_bytes) + " replaced " +
         std::to_string(counts.replaced_bytes) + " encoding \"" + std::string(counts.encoding) +
         "\" comment lines " + std::to_string(counts.comment_lines) + " preamble lines " +
         std::to_string(counts.preamble_lines) + " quote " + std::to_string(counts.quote_char) +
         " escape " + std::to_string(counts.escape_char) + " output quote " +
         std::to_string(counts.output_quote_char);
}

bool same_counts(const tidewrack::SalvageCounts &a, const tidewrack::SalvageCounts &b) {
  return counts_text(a) == counts_text(b);
}

// Reads the file written for the input, or, with a `supply_piece`, takes the
// input's bytes supplied that many at a time.
Written salvage_file(std::string_view input, const tidewrack::SalvageOptions &options,
                     bool with_log, std::size_t block_size = tidewrack::SALVAGE_BLOCK_SIZE,
                     unsigned threads = 1, std::size_t supply_piece = 0) {
  const fs::path in = fuzz::scratch() / "in.csv", out = fuzz::scratch() / "out.csv",
                 quarantine = fuzz::scratch() / "q.csv", log = fuzz::scratch() / "repairs.csv";
  fs::remove(log);
  std::string_view unsupplied = input;
  auto supply = [&](char *to, std::size_t size) -> tidewrack::Result<std::size_t> {
    const std::size_t count = std::min({size, supply_piece, unsupplied.size()});
    std::copy_n(unsupplied.data(), count, to);
    unsupplied.remove_prefix(count);
    return count;
  };
  const tidewrack::InputSource source =
      supply_piece == 0 ? tidewrack::InputSource(in.string())
                        : tidewrack::InputSource(in.string(), tidewrack::ByteSupply(supply));
  auto result = tidewrack::salvage_file(source, out.string(), quarantine.string(), options,
                                        with_log ? std::optional(log.string()) : std::nullopt,
                                        tidewrack::StopPoll{}, tidewrack::ProgressSink{},
                                        block_size, threads);
  if (!result.ok()) {
    fuzz::fail("file salvage of a readable input into writable files succeeds", input,
               result.error().display());
  }
  if (!with_log && fs::exists(log)) {
    fuzz::fail("no repair log is written unless asked for", input, "");
  }
  return {result.value(), fuzz::read_file(out), fuzz::read_file(quarantine),
          with_log ? fuzz::read_file(log) : ""};
}

// The files salvage_slice's outcome makes.
Written rendered(const tidewrack::SalvageOutcome &outcome,
                 const tidewrack::SalvageOptions &options) {
  Written written{outcome.counts, "", std::string(tidewrack::QUARANTINE_HEADER),
                  std::string(tidewrack::REPAIR_LOG_HEADER)};
  const auto delimiter = static_cast<std::uint8_t>(outcome.counts.detected_delimiter);
  tidewrack::CleanRowRenderer renderer(delimiter, outcome.counts.output_quote_char,
                                       outcome.counts.output_quote_char,
                                       options.quote_lone_empty_field);
  for (std::size_t i = 0; i < outcome.clean_rows.size(); ++i) {
    test_support::append_row(renderer, written.clean, outcome.clean_rows.row(i));
  }
  const std::string delimiter_text = tidewrack::byte_as_utf8(delimiter);
  for (const tidewrack::QuarantineRecord &record : outcome.quarantine) {
    tidewrack::render_quarantine_line(written.quarantine, record, delimiter_text);
  }
  for (const tidewrack::RepairEvent &event : outcome.repairs) {
    tidewrack::render_repair_line(written.log, event);
  }
  return written;
}

void expect_same_file(std::string_view input, std::string_view what, const std::string &got,
                      const std::string &want) {
  if (got == want) {
    return;
  }
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) {
    ++at;
  }
  fuzz::fail(what, input,
             "first difference at byte " + std::to_string(at) + ": written \"" +
                 fuzz::escaped(got.substr(at, 80)) + "\", expected \"" +
                 fuzz::escaped(want.substr(at, 80)) + "\"");
}

void expect_same(std::string_view input, std::string_view run, const Written &got,
                 const Written &want, bool with_log) {
  if (!same_counts(got.counts, want.counts)) {
    fuzz::fail(std::string(run) + ": the counters agree", input,
               "got " + counts_text(got.counts) + "; expected " + counts_text(want.counts));
  }
  expect_same_file(input, std::string(run) + ": the clean files agree", got.clean, want.clean);
  expect_same_file(input, std::string(run) + ": the quarantine files agree", got.quarantine,
                   want.quarantine);
  if (with_log) {
    expect_same_file(input, std::string(run) + ": the repair logs agree", got.log, want.log);
  }
}

// The counters of a salvage that read the same text without decoding it.
Written undecoded(Written written) {
  written.counts.decoded_bytes = written.counts.replaced_bytes = 0;
  written.counts.encoding = {};
  return written;
}

// The bytes past a leading byte-order mark that no well-formed UTF-8 sequence
// holds, found by trying each sequence length its lead byte calls for.
std::uint64_t invalid_utf8_bytes(std::string_view input) {
  if (input.starts_with("\xEF\xBB\xBF")) {
    input.remove_prefix(3);
  }
  std::uint64_t invalid = 0;
  for (std::size_t at = 0; at < input.size();) {
    const auto lead = static_cast<std::uint8_t>(input[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (at + length <= input.size() && tidewrack::is_valid_utf8(input.data() + at, length)) {
      at += length;
    } else {
      ++invalid;
      ++at;
    }
  }
  return invalid;
}

// Where a closing quote is dropped and text follows it, the classic parser
// joins the bytes around the quote before it replaces what is not UTF-8, so
// the two halves of an invalid sequence may join into a character; a decoder
// reads the sequence as the input holds it. True when the input may hold such
// a split: a quote after a byte of 0x80 or above and before, past blanks, a
// continuation byte.
bool quote_may_split_a_sequence(std::string_view input, std::uint8_t quote) {
  for (std::size_t at = 1; at < input.size(); ++at) {
    if (static_cast<std::uint8_t>(input[at]) != quote ||
        static_cast<std::uint8_t>(input[at - 1]) < 0x80) {
      continue;
    }
    std::size_t next = at + 1;
    while (next < input.size() && (input[next] == ' ' || input[next] == '\t')) {
      ++next;
    }
    if (next < input.size() && (static_cast<std::uint8_t>(input[next]) & 0xC0) == 0x80) {
      return true;
    }
  }
  return false;
}

// Every block size of a short input, a spread of them on a longer one, with
// one to four threads, gives the files of the salvage that read it whole on
// one thread.
void expect_any_block_size(std::string_view input, const tidewrack::SalvageOptions &options,
                           const Written &whole) {
  constexpr std::size_t EVERY_SIZE_UP_TO = 64;
  std::vector<std::size_t> sizes;
  if (input.size() <= EVERY_SIZE_UP_TO) {
    for (std::size_t size = 1; size <= input.size(); ++size) {
      sizes.push_back(size);
    }
  } else {
    for (std::size_t size = 1; size < input.size(); size = size * 3 / 2 + 1) {
      sizes.push_back(size);
      sizes.push_back(input.size() - size);
    }
  }
  for (unsigned threads = 2; threads <= 4; ++threads) {
    expect_same(input, "file salvage on " + std::to_string(threads) + " threads",
                salvage_file(input, options, true, tidewrack::SALVAGE_BLOCK_SIZE, threads), whole,
                true);
  }
  for (std::size_t size : sizes) {
    const unsigned threads = 1 + static_cast<unsigned>(size % 3);
    expect_same(input,
                "file salvage in blocks of " + std::to_string(size) + " bytes on " +
                    std::to_string(threads) + " threads",
                salvage_file(input, options, true, size, threads), whole, true);
  }
  // Bytes supplied in pieces of any size are read as the file is.
  const std::size_t piece = 1 + input.size() % 5;
  expect_same(
      input, "file salvage of bytes supplied " + std::to_string(piece) + " at a time",
      salvage_file(input, options, true, 1 + input.size() % 97, 1 + input.size() % 2, piece), whole,
      true);
}

// The log's lines, taken by action, add up to the counters. A row repaired
// by aligning may have a line for each kind of step: rows are counted by
// their first line, joins and drops as merged rows, splits and inserts as
// padded ones.
void expect_log_counts(std::string_view input, const Written &written) {
  std::map<std::string, std::uint64_t> lines;
  std::map<std::string, std::uint64_t> numbers;      // the sum of the details' leading numbers
  std::map<std::string, std::set<std::string>> rows; // first lines, by the counter they go to
  std::size_t at = tidewrack::REPAIR_LOG_HEADER.size();
  while (at < written.log.size()) {
    const std::size_t end = written.log.find('\n', at);
    const std::string line = written.log.substr(at, end - at);
    const std::size_t action = line.find(',', line.find(',') + 1) + 1;
    const std::size_t detail = line.find(',', action) + 1;
    const std::string name = line.substr(action, detail - 1 - action);
    ++lines[name];
    // A detail with a comma is enclosed in quotes.
    numbers[name] += std::strtoull(line.c_str() + detail + (line[detail] == '"'), nullptr, 10);
    const std::string first_line = line.substr(0, line.find(','));
    if (name == "merged" || name == "dropped") {
      rows["merged"].insert(first_line);
    } else if (name == "padded" || name == "split") {
      rows["padded"].insert(first_line);
    }
    at = end + 1;
  }
  const tidewrack::SalvageCounts &counts = written.counts;
  if (rows["padded"].size() != counts.padded_rows || rows["merged"].size() != counts.merged_rows ||
      lines["quarantined"] != counts.quarantined_rows ||
      lines["unclosed_quote"] != counts.unclosed_quotes ||
      numbers["quote_repaired"] != counts.quote_repairs ||
      numbers["decoded"] != counts.decoded_bytes || numbers["replaced"] != counts.replaced_bytes ||
      lines["comment"] != counts.comment_lines || lines["preamble"] != counts.preamble_lines ||
      counts.padded_rows + counts.merged_rows != counts.repaired_rows ||
      counts.salvaged_rows + counts.quarantined_rows != counts.total_rows) {
    fuzz::fail("the repair log adds up to the counters", input,
               counts_text(counts) + "; log: " + fuzz::escaped(written.log));
  }
}

// A row's text less the delimiters (and the text the delimiter is written as),
// the quotes and the blanks.
std::string bare_text(const tidewrack::RowView &row, std::uint8_t delimiter, std::uint8_t quote) {
  const std::string separator = tidewrack::byte_as_utf8(delimiter);
  std::string text;
  row.for_each_field([&](std::string_view field) { text.append(field); });
  for (std::size_t at; (at = text.find(separator)) != std::string::npos;) {
    text.erase(at, separator.size());
  }
  std::erase_if(text, [&](char c) {
    const auto byte = static_cast<std::uint8_t>(c);
    return byte == delimiter || byte == quote || c == ' ' || c == '\t';
  });
  return text;
}

// Aligned salvage against the classic one, both in memory.
void expect_aligned_like_classic(std::string_view input, const tidewrack::SalvageOptions &options,
                                 const tidewrack::SalvageOptions &aligned) {
  const tidewrack::SalvageOutcome classic = tidewrack::salvage_slice(input, options).value();
  const tidewrack::SalvageOutcome got = tidewrack::salvage_slice(input, aligned).value();
  const tidewrack::SalvageCounts &counts = classic.counts;
  if (got.clean_rows.size() != classic.clean_rows.size() ||
      got.quarantine.size() != classic.quarantine.size() ||
      got.counts.total_rows != counts.total_rows) {
    fuzz::fail("aligning keeps the rows and the quarantine", input,
               counts_text(got.counts) + "; classic " + counts_text(counts));
  }
  for (std::size_t i = 0; i < classic.quarantine.size(); ++i) {
    if (got.quarantine[i].line != classic.quarantine[i].line ||
        got.quarantine[i].fields != classic.quarantine[i].fields) {
      fuzz::fail("aligning keeps the quarantine", input, "record " + std::to_string(i));
    }
  }
  const auto delimiter = static_cast<std::uint8_t>(counts.detected_delimiter);
  std::uint64_t changed = 0;
  for (std::size_t i = 0; i < classic.clean_rows.size(); ++i) {
    const tidewrack::RowView want = classic.clean_rows.row(i);
    const tidewrack::RowView row = got.clean_rows.row(i);
    if (test_support::fields_of(row) == test_support::fields_of(want)) {
      continue;
    }
    ++changed;
    if (row.size() != counts.inferred_columns ||
        bare_text(row, delimiter, options.quote_char) !=
            bare_text(want, delimiter, options.quote_char)) {
      fuzz::fail("an aligned row has the width and the text of the classic one", input,
                 "row " + std::to_string(i));
    }
  }
  if (changed > counts.repaired_rows) {
    fuzz::fail("aligning changes only rows the classic rules repaired", input,
               std::to_string(changed) + " rows changed");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const fuzz::SalvageCase fuzz_case = fuzz::decode_salvage_case(data, size);
  const tidewrack::SalvageOptions &options = fuzz_case.options;
  const std::string_view input = fuzz_case.input;
  {
    std::ofstream file(fuzz::scratch() / "in.csv", std::ios::binary | std::ios::trunc);
    file.write(input.data(), static_cast<std::streamsize>(input.size()));
  }

  const Written classic = salvage_file(input, options, false);
  const Written expected = rendered(test_support::salvage_listing_repairs(input, options), options);
  expect_same(input, "classic file salvage against slice salvage", classic, expected, false);

  const Written logged = salvage_file(input, options, true);
  expect_same(input, "file salvage with a repair log against the classic run", logged, classic,
              false);
  expect_same(input, "file salvage with a repair log against slice salvage", logged, expected,
              true);
  expect_log_counts(input, logged);
  expect_any_block_size(input, options, logged);

  {
    tidewrack::SalvageOptions aligning = options;
    aligning.align_columns = true;
    aligning.quote_lone_empty_field = true; // as the package's rules do, with no other rule
    const Written aligned = salvage_file(input, aligning, true);
    expect_same(input, "aligned file salvage against slice salvage", aligned,
                rendered(test_support::salvage_listing_repairs(input, aligning), aligning), true);
    expect_log_counts(input, aligned);
    expect_any_block_size(input, aligning, aligned);
    expect_aligned_like_classic(input, options, aligning);
  }

  if (fuzz_case.recovery) {
    tidewrack::SalvageOptions recovering = options;
    recovering.unclosed_quote_recovery = fuzz_case.recovery;
    const Written recovered = salvage_file(input, recovering, true);
    expect_same(input, "file salvage with recovery against slice salvage", recovered,
                rendered(test_support::salvage_listing_repairs(input, recovering), recovering),
                true);
    expect_log_counts(input, recovered);
    expect_any_block_size(input, recovering, recovered);
    if (recovered.counts.unclosed_quotes == 0) {
      expect_same(input, "recovery that reads no quote as text changes nothing", recovered, logged,
                  true);
    }
  }

  if (std::optional<tidewrack::SalvageOptions> rules = fuzz::dialect_rules(options, input)) {
    const Written read = salvage_file(input, *rules, true);
    expect_same(input, "file salvage under dialect rules against slice salvage", read,
                rendered(test_support::salvage_listing_repairs(input, *rules), *rules), true);
    expect_log_counts(input, read);
    expect_any_block_size(input, *rules, read);
  }

  // Decoded text holds a byte of 0x80 or more only inside a character, so
  // such a delimiter or quote is refused with an encoding.
  if (options.quote_char >= 0x80 || (options.delimiter && *options.delimiter >= 0x80)) {
    return 0;
  }
  auto decoding = [&](tidewrack::InputEncoding encoding,
                      std::optional<tidewrack::QuoteRecoveryLimits> recovery) {
    tidewrack::SalvageOptions decoded = options;
    decoded.encoding = encoding;
    decoded.unclosed_quote_recovery = recovery;
    const Written written = salvage_file(input, decoded, true);
    expect_same(input, "file salvage of decoded text against slice salvage", written,
                rendered(test_support::salvage_listing_repairs(input, decoded), decoded), true);
    expect_log_counts(input, written);
    return written;
  };
  const std::uint64_t invalid = invalid_utf8_bytes(input);
  const Written utf8 = decoding(tidewrack::InputEncoding::Utf8, std::nullopt);
  if (!quote_may_split_a_sequence(input, options.quote_char)) {
    expect_same(input, "utf-8 against the classic run", undecoded(utf8), logged, invalid == 0);
  }
  if (utf8.counts.replaced_bytes != invalid || utf8.counts.decoded_bytes != 0 ||
      utf8.counts.encoding != "utf-8") {
    fuzz::fail("utf-8 replaces the bytes outside well-formed sequences", input,
               std::to_string(invalid) + " such bytes; " + counts_text(utf8.counts));
  }
  if (tidewrack::detect_encoding(input).encoding == tidewrack::Encoding::Utf8Auto) {
    const Written auto_read = decoding(tidewrack::InputEncoding::Auto, std::nullopt);
    if (invalid == 0) {
      expect_same(input, "auto on UTF-8 against the classic run", undecoded(auto_read), logged,
                  true);
    }
    if (auto_read.counts.decoded_bytes != invalid || auto_read.counts.replaced_bytes != 0 ||
        auto_read.counts.encoding != (invalid == 0 ? "utf-8" : "utf-8+cp1252")) {
      fuzz::fail("auto reads the bytes outside well-formed sequences as cp1252", input,
                 std::to_string(invalid) + " such bytes; " + counts_text(auto_read.counts));
    }
  }
  if (fuzz_case.encoding) {
    tidewrack::SalvageOptions decoded = options;
    decoded.encoding = fuzz_case.encoding;
    decoded.unclosed_quote_recovery = fuzz_case.recovery;
    expect_any_block_size(input, decoded, decoding(*fuzz_case.encoding, fuzz_case.recovery));
  }
  return 0;
}
