#include "salvage/salvage_file.h"

#include <memory>
#include <vector>

#include "salvage/csv_format.h"
#include "salvage/file_io.h"
#include "salvage/reconcile.h"
#include "salvage/repair_log.h"

namespace tidewrack {

namespace {

Result<std::monostate> write_quarantine(const std::string &path,
                                        const std::vector<QuarantineRecord> &records,
                                        std::string_view delimiter_text, StopPoll stop) {
  Result<OutputFile> opened = OutputFile::create(path, stop);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  OutputFile &file = opened.value();
  Result<std::monostate> written = file.write(QUARANTINE_HEADER);
  std::string line;
  std::uint64_t rendered = 0;
  StopCheckpoints checkpoints(stop);
  for (const QuarantineRecord &record : records) {
    if (!written.ok()) {
      return written;
    }
    if (checkpoints.stop_at(rendered)) {
      return SalvageError::interrupted();
    }
    line.clear();
    render_quarantine_line(line, record, delimiter_text);
    rendered += line.size();
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
                                   const SalvageOptions &options,
                                   const std::optional<std::string> &repair_log_path,
                                   StopPoll stop) {
  Result<FileBytes> input = read_file_bytes(input_path, stop);
  if (!input.ok()) {
    return std::move(input.error()).on_file(input_path);
  }
  const std::string_view bytes = input.value().view();
  std::optional<DecodedInput> decoded;
  if (options.encoding) {
    Result<DecodedInput> read = DecodedInput::decode(bytes, *options.encoding, stop);
    if (!read.ok()) {
      return std::move(read.error());
    }
    decoded.emplace(std::move(read.value()));
  }
  const SalvageText text = decoded ? SalvageText(bytes, *decoded) : SalvageText(bytes);
  Result<Settlement> settled = settle(text, options, stop);
  if (!settled.ok()) {
    return std::move(settled.error());
  }
  const Settlement settlement = settled.value();
  std::vector<QuarantineRecord> quarantine;
  Result<SalvageCounts> counts = SalvageCounts{};
  std::optional<RepairLogFile> repair_log;
  if (repair_log_path) {
    Result<RepairLogFile> opened = RepairLogFile::create(*repair_log_path, stop);
    if (!opened.ok()) {
      return std::move(opened.error()).on_file(*repair_log_path);
    }
    repair_log.emplace(std::move(opened.value()));
  }
  {
    Result<OutputFile> opened = OutputFile::create(output_path, stop);
    if (!opened.ok()) {
      return std::move(opened.error()).on_file(output_path);
    }
    OutputFile &output = opened.value();
    // Each clean row is written as soon as it is reconciled, so the clean rows
    // are never held all at once.
    CleanRowRenderer renderer(settlement.delimiter, options.quote_char);
    Result<std::monostate> written = std::monostate{};
    std::unique_ptr<char[]> line;
    std::size_t line_capacity = 0;
    // Plain records are cut and rendered in one go, in place in the buffer.
    const bool plain_lane = settlement.delimiter < 0x80 && options.quote_char < 0x80;
    auto plain = [&](ResilientParser &parser) {
      if (!plain_lane) {
        return PlainRow{};
      }
      PlainRow row = render_plain_row(parser, output.free_space(), output.room(),
                                      settlement.columns, options.fill_ragged_rows);
      output.commit(row.size);
      return row;
    };
    auto clean = [&](const Record &record, const RowShape &shape,
                     const std::string &merge_separator) {
      // A line that surely fits the buffer's free room is rendered there in
      // place: the same as copying it in whole.
      const std::size_t bound = renderer.size_bound(record, shape, merge_separator);
      if (bound <= output.room()) {
        char *start = output.free_space();
        char *end = renderer.render_to(start, record, shape, merge_separator);
        output.commit(static_cast<std::size_t>(end - start));
        return true;
      }
      // Elsewhere, in memory that is reused and never zero-filled.
      if (bound > line_capacity) {
        line.reset();
        line.reset(new char[bound]);
        line_capacity = bound;
      }
      char *end = renderer.render_to(line.get(), record, shape, merge_separator);
      written =
          output.write(std::string_view(line.get(), static_cast<std::size_t>(end - line.get())));
      return written.ok();
    };
    auto set_aside = [&](const Record &record, const std::string &reason) {
      if (quarantine_path) {
        quarantine.push_back(QuarantineRecord{record.end_line, reason, record_fields(record)});
      }
    };
    if (repair_log) {
      counts = reconcile_records(text, options, settlement, stop, plain, clean, set_aside,
                                 [&](const RepairEvent &event) { repair_log->write(event); });
    } else {
      counts = reconcile_records(text, options, settlement, stop, plain, clean, set_aside);
    }
    if (!counts.ok()) {
      return counts; // what was written so far stays, unflushed rows aside
    }
    if (written.ok()) {
      written = output.flush();
    }
    if (!written.ok()) {
      return std::move(written.error()).on_file(output_path);
    }
  }
  if (repair_log) {
    Result<std::monostate> logged = repair_log->finish();
    if (!logged.ok()) {
      return std::move(logged.error()).on_file(*repair_log_path);
    }
  }
  if (quarantine_path) {
    Result<std::monostate> written =
        write_quarantine(*quarantine_path, quarantine, byte_as_utf8(settlement.delimiter), stop);
    if (!written.ok()) {
      return std::move(written.error()).on_file(*quarantine_path);
    }
  }
  return counts;
}

} // namespace tidewrack
