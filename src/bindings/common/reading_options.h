#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bindings/common/argument_binding.h"
#include "salvage/options.h"

namespace tidewrack::bindings {

// An option's value once converted; an omitted one is its default.
struct OptionValue {
  bool flag = false;  // an OptionalFlag's when given
  bool given = false; // an OptionalFlag's: not None
  std::optional<std::string> text;
  std::optional<std::uint64_t> count;
};

// One reading option of the modules' entry points: its keyword, the kind of
// value it takes, its default (a flag's or a text's; the optional kinds
// default to None, given to none of the dialect's parts) and what it sets. A setter returns false
// for a value it cannot use (ValueError "unknown {name}: {value!r}").
struct ReadingOption {
  enum class Kind { Text, OptionalText, Flag, OptionalFlag, OptionalCount };

  const char *name;
  Kind kind;
  bool default_flag = false;
  const char *default_text = "";
  bool (*set)(SalvageOptions &options, const OptionValue &value) = nullptr;
};

// Every reading option, in the order of every signature: the classic ones
// first (CLASSIC_OPTIONS), then the package's reading rules. Omitted, each
// gives the engine's default: SalvageOptions{}'s for the classic ones,
// SalvageOptions::package()'s for the rules.
inline constexpr std::array<ReadingOption, 16> READING_OPTIONS = {{
    {"delimiter", ReadingOption::Kind::OptionalText, false, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.delimiter = value.text ? delimiter_option(*value.text) : std::nullopt;
       return true;
     }},
    {"quote_char", ReadingOption::Kind::Text, false, "\"",
     [](SalvageOptions &options, const OptionValue &value) {
       options.quote_char = quote_char_option(*value.text);
       return true;
     }},
    {"fill_ragged_rows", ReadingOption::Kind::Flag, SalvageOptions{}.fill_ragged_rows, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.fill_ragged_rows = value.flag;
       return true;
     }},
    {"merge_overflow", ReadingOption::Kind::Flag, SalvageOptions{}.merge_overflow, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.merge_overflow = value.flag;
       return true;
     }},
    {"expected_columns", ReadingOption::Kind::OptionalCount, false, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.expected_columns = value.count;
       return true;
     }},
    {"repair_quotes", ReadingOption::Kind::Flag, SalvageOptions{}.repair_quotes, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.repair_quotes = value.flag;
       return true;
     }},
    {"recover_unclosed_quotes", ReadingOption::Kind::Flag,
     SalvageOptions::package().unclosed_quote_recovery.has_value(), "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.unclosed_quote_recovery =
           value.flag ? std::optional<QuoteRecoveryLimits>(QuoteRecoveryLimits{}) : std::nullopt;
       return true;
     }},
    // "auto": InputEncoding::Auto, SalvageOptions::package().encoding.
    {"encoding", ReadingOption::Kind::Text, false, "auto",
     [](SalvageOptions &options, const OptionValue &value) {
       options.encoding = input_encoding_named(*value.text);
       return options.encoding.has_value();
     }},
    {"detect_dialect", ReadingOption::Kind::Flag, SalvageOptions::package().detect_dialect, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.detect_dialect = value.flag;
       return true;
     }},
    {"quoting", ReadingOption::Kind::Flag, SalvageOptions::package().rules.quoting, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.rules.quoting = value.flag;
       return true;
     }},
    {"escape_char", ReadingOption::Kind::OptionalText, false, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.rules.escape =
           value.text && !value.text->empty()
               ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(value.text->front()))
               : std::nullopt;
       return true;
     }},
    {"skip_blanks", ReadingOption::Kind::OptionalFlag, false, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.rules.skip_blanks = value.flag;
       options.given.skip_blanks = value.given;
       return true;
     }},
    {"comment_prefix", ReadingOption::Kind::OptionalText, false, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.rules.comment_prefix = value.text.value_or("");
       options.given.comment_prefix = value.text.has_value();
       return true;
     }},
    {"preamble_lines", ReadingOption::Kind::OptionalCount, false, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.rules.preamble_lines = value.count.value_or(0);
       options.given.preamble_lines = value.count.has_value();
       return true;
     }},
    {"output_quote_char", ReadingOption::Kind::OptionalText, false, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.output_quote_char =
           value.text ? std::optional<std::uint8_t>(quote_char_option(*value.text)) : std::nullopt;
       return true;
     }},
    {"align_columns", ReadingOption::Kind::Flag, SalvageOptions::package().align_columns, "",
     [](SalvageOptions &options, const OptionValue &value) {
       options.align_columns = value.flag;
       return true;
     }},
}};
inline constexpr std::size_t CLASSIC_OPTION_COUNT = 6;
inline constexpr std::size_t READING_OPTION_COUNT = READING_OPTIONS.size();
inline constexpr std::span<const ReadingOption, CLASSIC_OPTION_COUNT>
    CLASSIC_OPTIONS(READING_OPTIONS.data(), CLASSIC_OPTION_COUNT);
inline constexpr std::span<const ReadingOption, READING_OPTION_COUNT>
    PACKAGE_OPTIONS(READING_OPTIONS);

// Converts the bound values of `options` (one each, in order) and sets them
// on `salvage`. Returns false with the first conversion's exception set, or
// with ValueError for a value a setter refuses or for options that can never
// give a readable file (unreadable_options).
bool convert_options(std::span<const ReadingOption> options, std::span<PyObject *const> values,
                     SalvageOptions &salvage);

// The classic options (salvage_file, open, SalvageReader) from their six
// bound values, onto the classic defaults.
bool convert_classic_options(std::span<PyObject *const, CLASSIC_OPTION_COUNT> values,
                             SalvageOptions &options);

// Every reading option (salvage, ArrowScan) from its sixteen bound values,
// onto the package's defaults.
bool convert_package_options(std::span<PyObject *const, READING_OPTION_COUNT> values,
                             SalvageOptions &options);

// The parameters of an entry point: its own leading ones, `OPTIONS` reading
// options, then its own trailing ones; the bound values split the same way.
template <std::size_t LEADING, std::size_t OPTIONS, std::size_t TRAILING> struct OptionParameters {
  std::array<const char *, LEADING + OPTIONS + TRAILING> names;

  static std::span<PyObject *const, LEADING> leading(const BoundValues &values) {
    return std::span<PyObject *const, LEADING>(values.data(), LEADING);
  }
  static std::span<PyObject *const, OPTIONS> options(const BoundValues &values) {
    return std::span<PyObject *const, OPTIONS>(values.data() + LEADING, OPTIONS);
  }
  static std::span<PyObject *const, TRAILING> trailing(const BoundValues &values) {
    return std::span<PyObject *const, TRAILING>(values.data() + LEADING + OPTIONS, TRAILING);
  }
};

template <std::size_t LEADING, std::size_t OPTIONS, std::size_t TRAILING>
constexpr OptionParameters<LEADING, OPTIONS, TRAILING>
option_parameters(std::span<const char *const, LEADING> leading,
                  std::span<const ReadingOption, OPTIONS> options,
                  std::span<const char *const, TRAILING> trailing) {
  OptionParameters<LEADING, OPTIONS, TRAILING> parameters{};
  auto at = std::copy(leading.begin(), leading.end(), parameters.names.begin());
  for (const ReadingOption &option : options) {
    *at++ = option.name;
  }
  std::copy(trailing.begin(), trailing.end(), at);
  return parameters;
}

template <std::size_t LEADING, std::size_t OPTIONS, std::size_t TRAILING>
constexpr auto option_parameters(const char *const (&leading)[LEADING],
                                 std::span<const ReadingOption, OPTIONS> options,
                                 const char *const (&trailing)[TRAILING]) {
  return option_parameters(std::span<const char *const, LEADING>(leading), options,
                           std::span<const char *const, TRAILING>(trailing));
}

template <std::size_t LEADING, std::size_t OPTIONS>
constexpr auto option_parameters(const char *const (&leading)[LEADING],
                                 std::span<const ReadingOption, OPTIONS> options) {
  return option_parameters(std::span<const char *const, LEADING>(leading), options,
                           std::span<const char *const, 0>());
}

// Writes a docstring's pieces: text as it is, and a list of options as a
// signature shows them (`delimiter=None, quote_char="\\"", ...`). Without
// an output it only counts the characters.
class DocWriter {
public:
  constexpr explicit DocWriter(char *out) : out_(out) {}

  constexpr void operator()(std::string_view text) {
    for (char c : text) {
      put(c);
    }
  }

  constexpr void operator()(std::span<const ReadingOption> options) {
    for (std::size_t i = 0; i < options.size(); ++i) {
      const ReadingOption &option = options[i];
      (*this)(i == 0 ? "" : ", ");
      (*this)(option.name);
      put('=');
      switch (option.kind) {
      case ReadingOption::Kind::Flag:
        (*this)(option.default_flag ? "True" : "False");
        break;
      case ReadingOption::Kind::Text:
        put('"');
        for (const char *c = option.default_text; *c != '\0'; ++c) {
          if (*c == '"' || *c == '\\') {
            put('\\');
          }
          put(*c);
        }
        put('"');
        break;
      default:
        (*this)("None");
      }
    }
  }

  constexpr std::size_t size() const { return size_; }

private:
  constexpr void put(char c) {
    if (out_ != nullptr) {
      out_[size_] = c;
    }
    ++size_;
  }

  char *out_;
  std::size_t size_ = 0;
};

// A docstring built at compile time by `Pieces`, a lambda without captures
// called with a DocWriter; null-terminated.
template <class Pieces> constexpr auto document(Pieces pieces) {
  constexpr std::size_t SIZE = [] {
    DocWriter measure(nullptr);
    Pieces{}(measure);
    return measure.size();
  }();
  std::array<char, SIZE + 1> text{};
  DocWriter write(text.data());
  pieces(write);
  return text;
}

} // namespace tidewrack::bindings
