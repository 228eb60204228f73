#include "salvage/salvage_file.h"

#include <vector>

#include "salvage/csv_format.h"
#include "salvage/file_io.h"
#include "salvage/reconcile.h"

namespace tidewrack {

namespace {

Result<std::monostate> write_quarantine(const std::string &path,
                                        const std::vector<QuarantineRecord> &records,
                                        std::string_view delimiter_text) {
  Result<OutputFile> opened = OutputFile::create(path);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  OutputFile &file = opened.value();
  Result<std::monostate> written = file.write(QUARANTINE_HEADER);
  std::string line;
  for (const QuarantineRecord &record : records) {
    if (!written.ok()) {
      return written;
    }
    line.clear();
    render_quarantine_line(line, record, delimiter_text);
    written = file.write(line);
  }
  if (!written.ok()) {
    return written;
  }
  return file.flush();
}

} // namespace

Result<SalvageCounts> salvage_file(const std::string &input_path, const std::string &output_path,
                                   const std::optional<std::string> &quarantine_path,
                                   const SalvageOptions &options) {
  Result<std::string> input = read_whole_file(input_path);
  if (!input.ok()) {
    return std::move(input.error());
  }
  const std::string_view bytes = input.value();
  const Settlement settlement = settle(bytes, options);
  std::vector<QuarantineRecord> quarantine;
  SalvageCounts counts;
  {
    Result<OutputFile> opened = OutputFile::create(output_path);
    if (!opened.ok()) {
      return std::move(opened.error());
    }
    OutputFile &output = opened.value();
    // Each clean row is written as soon as it is reconciled, so the clean rows
    // are never held all at once.
    CleanRowRenderer renderer(settlement.delimiter, options.quote_char);
    Result<std::monostate> written = std::monostate{};
    std::string line;
    counts = reconcile_records(
        bytes, options, settlement,
        [&](const Record &record, const RowShape &shape, const std::string &merge_separator) {
          line.clear();
          renderer.render(line, record, shape, merge_separator);
          written = output.write(line);
          return written.ok();
        },
        [&](const Record &record, const std::string &reason) {
          if (quarantine_path) {
            quarantine.push_back(QuarantineRecord{record.end_line, reason, record_fields(record)});
          }
        });
    if (written.ok()) {
      written = output.flush();
    }
    if (!written.ok()) {
      return std::move(written.error());
    }
  }
  if (quarantine_path) {
    Result<std::monostate> written =
        write_quarantine(*quarantine_path, quarantine, byte_as_utf8(settlement.delimiter));
    if (!written.ok()) {
      return std::move(written.error());
    }
  }
  return counts;
}

} // namespace tidewrack
