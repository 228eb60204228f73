// File salvage against slice salvage: the file that salvage_file writes holds
// exactly the clean rows of salvage_slice, rendered one per line, and its
// quarantine file exactly the quarantine records; the counters agree. File
// salvage cuts and renders plain records in one pass of its own, so this is
// what keeps that fast lane honest.
//
// Input: four header bytes choose the options (salvage_case.h), the rest is
// the CSV input. The files live in a directory of their own under $TMPDIR.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <unistd.h>

#include "fuzz_check.h"
#include "parser/utf8.h"
#include "salvage/csv_format.h"
#include "salvage/salvage_file.h"
#include "salvage/salvage_slice.h"
#include "salvage_case.h"

namespace {

namespace fs = std::filesystem;

// One scratch directory per process, removed at exit.
const fs::path &scratch() {
  static const fs::path dir = [] {
    fs::path base = fs::temp_directory_path() / "tidewrack-fuzz-XXXXXX";
    std::string pattern = base.string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    std::atexit([] { fs::remove_all(scratch()); });
    return fs::path(pattern);
  }();
  return dir;
}

std::string read_file(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const fuzz::SalvageCase fuzz_case = fuzz::decode_salvage_case(data, size);
  const tidewrack::SalvageOptions &options = fuzz_case.options;
  const std::string_view input = fuzz_case.input;

  const fs::path in = scratch() / "in.csv", out = scratch() / "out.csv", quarantine = scratch() / "q.csv";
  {
    std::ofstream file(in, std::ios::binary | std::ios::trunc);
    file.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  auto result = tidewrack::salvage_file(in.string(), out.string(), quarantine.string(), options);
  if (!result.ok()) {
    fuzz::fail("file salvage of a readable input into writable files succeeds", input,
               result.error().display());
  }
  const tidewrack::SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();
  const tidewrack::SalvageCounts &got = result.value();
  const tidewrack::SalvageCounts &want = outcome.counts;
  if (got.total_rows != want.total_rows || got.salvaged_rows != want.salvaged_rows ||
      got.repaired_rows != want.repaired_rows || got.quarantined_rows != want.quarantined_rows ||
      got.inferred_columns != want.inferred_columns ||
      got.detected_delimiter != want.detected_delimiter) {
    fuzz::fail("file and slice salvage count alike", input,
               "file: total " + std::to_string(got.total_rows) + " salvaged " +
                   std::to_string(got.salvaged_rows) + " repaired " +
                   std::to_string(got.repaired_rows) + " quarantined " +
                   std::to_string(got.quarantined_rows) + "; slice: total " +
                   std::to_string(want.total_rows) + " salvaged " +
                   std::to_string(want.salvaged_rows) + " repaired " +
                   std::to_string(want.repaired_rows) + " quarantined " +
                   std::to_string(want.quarantined_rows));
  }

  const auto delimiter = static_cast<std::uint8_t>(want.detected_delimiter);
  tidewrack::CleanRowRenderer renderer(delimiter, options.quote_char);
  std::string expected;
  for (std::size_t i = 0; i < outcome.clean_rows.size(); ++i) {
    tidewrack::Record row;
    outcome.clean_rows.row(i).for_each_field([&](std::string_view field) {
      row.text += field;
      row.ends.push_back(row.text.size());
    });
    renderer.render(expected, row, tidewrack::RowShape{row.size(), false, 0}, "");
  }
  const std::string written = read_file(out);
  if (written != expected) {
    std::size_t at = 0;
    while (at < written.size() && at < expected.size() && written[at] == expected[at]) {
      ++at;
    }
    fuzz::fail("the output file holds the clean rows", input,
               "first difference at byte " + std::to_string(at) + ": written \"" +
                   fuzz::escaped(written.substr(at, 80)) + "\", expected \"" +
                   fuzz::escaped(expected.substr(at, 80)) + "\"");
  }

  std::string expected_quarantine(tidewrack::QUARANTINE_HEADER);
  const std::string delimiter_text = tidewrack::byte_as_utf8(delimiter);
  for (const tidewrack::QuarantineRecord &record : outcome.quarantine) {
    tidewrack::render_quarantine_line(expected_quarantine, record, delimiter_text);
  }
  const std::string written_quarantine = read_file(quarantine);
  if (written_quarantine != expected_quarantine) {
    fuzz::fail("the quarantine file holds the quarantine records", input,
               "written \"" + fuzz::escaped(written_quarantine) + "\", expected \"" +
                   fuzz::escaped(expected_quarantine) + "\"");
  }
  return 0;
}
