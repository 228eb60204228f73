#include "salvage/salvage_file.h"

#include <algorithm>
#include <memory>
#include <sched.h>
#include <thread>
#include <vector>

#include "io/file_io.h"
#include "io/text_window.h"
#include "output/csv_format.h"
#include "output/repair_log.h"
#include "output/salvage_outputs.h"
#include "salvage/clean_rows.h"
#include "salvage/reconcile.h"
#include "salvage/salvage_driver.h"
#include "salvage/stretch_parts.h"

namespace tidewrack {

namespace {

Dialect settled_dialect(const Settlement &settlement) {
  return {settlement.delimiter, settlement.quote_char, settlement.rules, settlement.header_rows,
          settlement.columns,   settlement.confidence, settlement.notes};
}

SalvageOptions detecting_options(std::optional<InputEncoding> encoding) {
  SalvageOptions options;
  options.detect_dialect = true;
  options.encoding = encoding;
  return options;
}

// The clean rows go to the output file as they come, the parts' rows once
// rendered.
class CsvFileSink : public FileSinkBase {
public:
  CsvFileSink(OutputFile &output, const SalvageDriver &driver, QuarantineFile *quarantine,
              RepairLogFile *repair_log)
      : FileSinkBase(quarantine, repair_log), output_(output),
        rows_(output, driver.options(), driver.settlement()) {}

  CleanRows<OutputFile> &rows() { return rows_; }
  void begin_stretch(std::string_view, TextWindow &) {}
  void end_stretch() {}
  bool take(PartRows &part, std::size_t mark) {
    rows_.written() = output_.write(static_cast<CsvPartRows &>(part).lines().substr(mark));
    return rows_.written().ok();
  }
  bool stopped() { return !rows_.written().ok(); }
  // What was written so far, once written out.
  Result<std::monostate> finish() {
    Result<std::monostate> &written = rows_.written();
    if (written.ok()) {
      written = output_.flush();
    }
    return written;
  }

private:
  OutputFile &output_;
  CleanRows<OutputFile> rows_;
};

} // namespace

Result<Dialect> detect_file_dialect(const InputSource &input, InputEncoding encoding,
                                    StopPoll stop) {
  Result<TextWindow> opened = TextWindow::open(input, encoding, stop);
  if (!opened.ok()) {
    return std::move(opened.error()).on_file(input.path);
  }
  Result<std::unique_ptr<SalvageDriver>> started = SalvageDriver::start(
      std::move(opened.value()), input.path, detecting_options(encoding), SALVAGE_BLOCK_SIZE, stop);
  if (!started.ok()) {
    return std::move(started.error());
  }
  return settled_dialect(started.value()->settlement());
}

Result<Dialect> detect_text_dialect(std::string_view text, StopPoll stop) {
  Result<Settlement> settled = settle(SalvageText(text), detecting_options(std::nullopt), stop);
  if (!settled.ok()) {
    return std::move(settled.error());
  }
  return settled_dialect(settled.value());
}

unsigned available_cores() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (::sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&cores));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

Result<SalvageCounts> salvage_file(const InputSource &input, const std::string &output_path,
                                   const std::optional<std::string> &quarantine_path,
                                   const SalvageOptions &options,
                                   const std::optional<std::string> &repair_log_path, StopPoll stop,
                                   ProgressSink progress, std::size_t block_size,
                                   unsigned threads) {
  const std::string &input_path = input.path;
  Result<TextWindow> opened_input = TextWindow::open(input, options.encoding, stop);
  if (!opened_input.ok()) {
    return std::move(opened_input.error()).on_file(input_path);
  }
  // An output that is the input itself is opened only once the input is read whole.
  const bool writes_input =
      !input.supply && (same_file(input_path, output_path) ||
                        (quarantine_path && same_file(input_path, *quarantine_path)) ||
                        (repair_log_path && same_file(input_path, *repair_log_path)));
  Result<std::unique_ptr<SalvageDriver>> started = SalvageDriver::start(
      std::move(opened_input.value()), input_path, options,
      writes_input ? SIZE_MAX : std::max<std::size_t>(block_size, 1), stop, progress);
  if (!started.ok()) {
    return std::move(started.error());
  }
  SalvageDriver &driver = *started.value();

  std::optional<RepairLogFile> repair_log;
  if (repair_log_path) {
    Result<RepairLogFile> opened = RepairLogFile::create(*repair_log_path, stop);
    if (!opened.ok()) {
      return std::move(opened.error()).on_file(*repair_log_path);
    }
    repair_log.emplace(std::move(opened.value()));
  }
  Result<OutputFile> opened_output = OutputFile::create(output_path, stop);
  if (!opened_output.ok()) {
    return std::move(opened_output.error()).on_file(output_path);
  }
  std::optional<QuarantineFile> quarantine;
  if (quarantine_path) {
    quarantine.emplace(*quarantine_path, driver.settlement().delimiter, stop);
  }
  CsvFileSink sink(opened_output.value(), driver, quarantine ? &*quarantine : nullptr,
                   repair_log ? &*repair_log : nullptr);
  if (threads > 1) {
    driver.use_threads(threads, [&] {
      return std::make_unique<CsvPartRows>(driver.options(), driver.settlement());
    });
  }
  for (;;) {
    Result<bool> stepped = driver.step(sink);
    if (!stepped.ok()) {
      return std::move(stepped.error()); // what was written so far stays, unflushed rows aside
    }
    if (!stepped.value()) {
      break;
    }
  }
  Result<std::monostate> written = sink.finish();
  if (!written.ok()) {
    return std::move(written.error()).on_file(output_path);
  }
  if (repair_log) {
    Result<std::monostate> logged = repair_log->finish();
    if (!logged.ok()) {
      return std::move(logged.error()).on_file(*repair_log_path);
    }
  }
  if (quarantine) {
    Result<std::monostate> set_aside_written = quarantine->finish();
    if (!set_aside_written.ok()) {
      return std::move(set_aside_written.error()).on_file(*quarantine_path);
    }
  }
  driver.report_end();
  return driver.counts();
}

} // namespace tidewrack
