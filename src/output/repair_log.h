#pragma once

#include <string>

#include "base/result.h"
#include "io/file_io.h"
#include "repair/repair_event.h"

namespace tidewrack {

// The repair log of a file salvage, written as the events come: the header
// line, then one line per event, through the buffer of an OutputFile.
class RepairLogFile {
public:
  // Creates (or truncates) the file and puts the header line in its buffer;
  // `stop` is asked when a write is interrupted by a signal.
  static Result<RepairLogFile> create(const std::string &path, StopPoll stop = {});

  // Writes the event's line. After a failed write the events that follow are
  // dropped: the failure is what finish() returns.
  void write(const RepairEvent &event);
  // Writes lines rendered already (render_repair_line).
  void write_lines(std::string_view lines);
  // Writes out what the buffer holds; the first failure of the whole log.
  Result<std::monostate> finish();

private:
  explicit RepairLogFile(OutputFile file) : file_(std::move(file)) {}

  OutputFile file_;
  Result<std::monostate> written_ = std::monostate{};
  std::string line_;
};

} // namespace tidewrack
