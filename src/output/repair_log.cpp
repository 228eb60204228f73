#include "output/repair_log.h"

#include "output/csv_format.h"

namespace tidewrack {

Result<RepairLogFile> RepairLogFile::create(const std::string &path, StopPoll stop) {
  Result<OutputFile> opened = OutputFile::create(path, stop);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  RepairLogFile log(std::move(opened.value()));
  log.written_ = log.file_.write(REPAIR_LOG_HEADER);
  return log;
}

void RepairLogFile::write(const RepairEvent &event) {
  if (!written_.ok()) {
    return;
  }
  // In place in the buffer when the line surely fits its free room.
  if (repair_line_bound(event) <= file_.room()) {
    char *start = file_.free_space();
    file_.commit(static_cast<std::size_t>(render_repair_line(start, event) - start));
    return;
  }
  line_.clear();
  render_repair_line(line_, event);
  written_ = file_.write(line_);
}

void RepairLogFile::write_lines(std::string_view lines) {
  if (written_.ok()) {
    written_ = file_.write(lines);
  }
}

Result<std::monostate> RepairLogFile::finish() {
  if (written_.ok()) {
    written_ = file_.flush();
  }
  return written_;
}

} // namespace tidewrack
