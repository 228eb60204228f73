#include "bindings/native/rule_arguments.h"

#include <cstdint>
#include <optional>
#include <string>

#include "bindings/common/argument_binding.h"
#include "encoding/encoding.h"

namespace tidewrack::bindings {

bool convert_rule_arguments(std::span<PyObject *const, RULE_PARAMETERS> values,
                            SalvageOptions &options) {
  bool recover_unclosed_quotes = true;
  std::string encoding_name;
  bool quoting = true;
  std::optional<std::string> escape_char;
  std::optional<std::string> comment_prefix;
  std::optional<std::uint64_t> preamble_lines;
  std::optional<std::string> output_quote_char;
  if (!convert_flag(values[0], "recover_unclosed_quotes", true, recover_unclosed_quotes) ||
      !convert_text(values[1], "encoding", "auto", encoding_name) ||
      !convert_flag(values[2], "detect_dialect", false, options.detect_dialect) ||
      !convert_flag(values[3], "quoting", true, quoting) ||
      !convert_optional_text(values[4], "escape_char", escape_char) ||
      !convert_flag(values[5], "skip_blanks", false, options.rules.skip_blanks) ||
      !convert_optional_text(values[6], "comment_prefix", comment_prefix) ||
      !convert_optional_count(values[7], "preamble_lines", preamble_lines) ||
      !convert_optional_text(values[8], "output_quote_char", output_quote_char) ||
      !convert_flag(values[9], "align_columns", true, options.align_columns)) {
    return false;
  }
  options.rules.quoting = quoting;
  if (escape_char && !escape_char->empty()) {
    options.rules.escape = static_cast<std::uint8_t>(escape_char->front());
  }
  options.rules.comment_prefix = comment_prefix.value_or("");
  options.rules.preamble_lines = preamble_lines.value_or(0);
  if (output_quote_char) {
    options.output_quote_char = quote_char_option(*output_quote_char);
  }
  options.encoding = input_encoding_named(encoding_name);
  if (!options.encoding) {
    PyErr_Format(PyExc_ValueError, "unknown encoding: %R", values[1]);
    return false;
  }
  if (std::string_view problem = unreadable_options(options); !problem.empty()) {
    PyErr_SetString(PyExc_ValueError, std::string(problem).c_str());
    return false;
  }
  if (recover_unclosed_quotes) {
    options.unclosed_quote_recovery = QuoteRecoveryLimits{};
  }
  options.quote_lone_empty_field = true;
  // Nothing changes without a trace, and the log's lines are an editor's.
  options.rules.keep_blanks_after_quote = true;
  options.rules.count_lone_cr = true;
  return true;
}

} // namespace tidewrack::bindings
