#include "bindings/common/salvage_option_arguments.h"

#include <optional>
#include <string>
#include <string_view>

#include "bindings/common/argument_binding.h"

namespace tidewrack::bindings {

bool convert_salvage_options(std::span<PyObject *const, SALVAGE_OPTION_PARAMETERS> values,
                             SalvageOptions &options) {
  std::optional<std::string> delimiter;
  std::string quote_char;
  std::optional<std::uint64_t> expected_columns;
  bool fill_ragged_rows = true;
  bool merge_overflow = true;
  bool repair_quotes = true;
  if (!convert_optional_text(values[0], "delimiter", delimiter) ||
      !convert_text(values[1], "quote_char", "\"", quote_char) ||
      !convert_flag(values[2], "fill_ragged_rows", true, fill_ragged_rows) ||
      !convert_flag(values[3], "merge_overflow", true, merge_overflow) ||
      !convert_optional_count(values[4], "expected_columns", expected_columns) ||
      !convert_flag(values[5], "repair_quotes", true, repair_quotes)) {
    return false;
  }
  options.delimiter = delimiter ? delimiter_option(*delimiter) : std::nullopt;
  options.quote_char = quote_char_option(quote_char);
  options.fill_ragged_rows = fill_ragged_rows;
  options.merge_overflow = merge_overflow;
  options.expected_columns = expected_columns;
  options.repair_quotes = repair_quotes;
  if (std::string_view problem = unreadable_options(options); !problem.empty()) {
    PyErr_SetString(PyExc_ValueError, std::string(problem).c_str());
    return false;
  }
  return true;
}

} // namespace tidewrack::bindings
