// Arrow scan against slice salvage: after the first clean row, which names the
// columns, the batches of a scan hold exactly the clean rows of
// salvage_slice, in order, whatever the block size, the thread count and the
// batch size; the counters agree. A scan refuses only rows of different
// widths, which a salvage without a width alone can give. The quarantine file
// and the repair log a scan writes are byte for byte those of salvage_file.
// Either layout of the columns reads back as Arrow readers read it; a view
// whose prefix, padding or place in its data buffer is wrong throws.
//
// Input: four header bytes choose the options (salvage_case.h), the rest is
// the CSV input; its size picks the block size, threads, batch size and layout.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "arrow/arrow_scan.h"
#include "arrow/column_names.h"
#include "arrow_rows.h"
#include "fuzz_check.h"
#include "records.h"
#include "salvage/salvage_file.h"
#include "salvage/salvage_slice.h"
#include "salvage_case.h"
#include "scratch_files.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const fuzz::SalvageCase fuzz_case = fuzz::decode_salvage_case(data, size);
  const std::string_view input = fuzz_case.input;
  tidewrack::ScanSettings settings;
  settings.options = fuzz_case.options;
  settings.options.unclosed_quote_recovery = fuzz_case.recovery;
  if (tidewrack::unreadable_options(settings.options).empty()) {
    settings.options.encoding = fuzz_case.encoding;
  }
  if (!tidewrack::unreadable_options(settings.options).empty()) {
    settings.options.encoding.reset();
  }
  settings.block_size = 1 + size % 97;
  settings.threads = 1 + static_cast<unsigned>(size % 3);
  settings.batch_rows = 1 + size % 5;
  const bool views = size % 2 == 1;
  settings.layout = views ? tidewrack::StringLayout::Views : tidewrack::StringLayout::Offsets;
  const fs::path in = fuzz::scratch() / "in.csv";
  settings.quarantine_path = (fuzz::scratch() / "q.csv").string();
  settings.repair_log_path = (fuzz::scratch() / "r.csv").string();
  {
    std::ofstream file(in, std::ios::binary | std::ios::trunc);
    file.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  const tidewrack::SalvageOutcome expected =
      tidewrack::salvage_slice(input, settings.options).value();
  const tidewrack::RowStore &clean = expected.clean_rows;

  auto opened = tidewrack::ArrowScan::open(in.string(), settings);
  std::set<std::size_t> widths;
  for (std::size_t row = 0; row < clean.size(); ++row) {
    widths.insert(clean.row(row).size());
  }
  auto refused = [&](const tidewrack::SalvageError &error) {
    if (error.kind() != tidewrack::SalvageError::Kind::Invalid || widths.size() < 2) {
      fuzz::fail("a scan refuses only rows of different widths", input, error.display());
    }
  };
  if (!opened.ok()) {
    refused(opened.error());
    return 0;
  }
  tidewrack::ArrowScan &scan = *opened.value();
  if (clean.size() > 0) {
    const std::vector<std::string> header = test_support::fields_of(clean.row(0));
    if (scan.names() != tidewrack::unique_column_names({header.begin(), header.end()})) {
      fuzz::fail("the first clean row names the columns", input, fuzz::row_text(scan.names()));
    }
  }
  std::size_t row = 1;
  for (;;) {
    ArrowArray batch{};
    auto next = scan.next(&batch);
    if (!next.ok()) {
      refused(next.error());
      return 0;
    }
    if (!next.value()) {
      break;
    }
    for (std::int64_t index = 0; index < batch.length; ++index, ++row) {
      const std::vector<std::string> got = test_support::batch_row(batch, index, views);
      if (row >= clean.size() || got != test_support::fields_of(clean.row(row))) {
        batch.release(&batch);
        fuzz::fail("the batches hold the clean rows", input,
                   "row " + std::to_string(row) + ": " + fuzz::row_text(got));
      }
    }
    batch.release(&batch);
  }
  const tidewrack::SalvageCounts &counts = *scan.counts();
  if (row < clean.size() || counts.total_rows != expected.counts.total_rows ||
      counts.salvaged_rows != expected.counts.salvaged_rows ||
      counts.quarantined_rows != expected.counts.quarantined_rows ||
      counts.repaired_rows != expected.counts.repaired_rows) {
    fuzz::fail("a scan counts as the salvage does", input,
               std::to_string(row) + " rows of " + std::to_string(clean.size()));
  }
  const fs::path out = fuzz::scratch() / "out.csv", quarantine = fuzz::scratch() / "file-q.csv",
                 log = fuzz::scratch() / "file-r.csv";
  auto written = tidewrack::salvage_file(in.string(), out.string(), quarantine.string(),
                                         settings.options, log.string());
  if (!written.ok()) {
    fuzz::fail("file salvage of a readable input into writable files succeeds", input,
               written.error().display());
  }
  if (fuzz::read_file(*settings.quarantine_path) != fuzz::read_file(quarantine)) {
    fuzz::fail("a scan writes the quarantine file of the file salvage", input,
               fuzz::escaped(fuzz::read_file(*settings.quarantine_path)));
  }
  if (fuzz::read_file(*settings.repair_log_path) != fuzz::read_file(log)) {
    fuzz::fail("a scan writes the repair log of the file salvage", input,
               fuzz::escaped(fuzz::read_file(*settings.repair_log_path)));
  }
  return 0;
}
