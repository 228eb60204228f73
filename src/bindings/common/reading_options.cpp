#include "bindings/common/reading_options.h"

namespace tidewrack::bindings {

namespace {

bool convert_value(const ReadingOption &option, PyObject *given, OptionValue &value) {
  switch (option.kind) {
  case ReadingOption::Kind::Text:
    return convert_text(given, option.name, option.default_text, value.text.emplace());
  case ReadingOption::Kind::OptionalText:
    return convert_optional_text(given, option.name, value.text);
  case ReadingOption::Kind::Flag:
    return convert_flag(given, option.name, option.default_flag, value.flag);
  case ReadingOption::Kind::OptionalFlag:
    value.given = given != nullptr && given != Py_None;
    return convert_flag(value.given ? given : nullptr, option.name, false, value.flag);
  case ReadingOption::Kind::OptionalCount:
    return convert_optional_count(given, option.name, value.count);
  }
  return false;
}

} // namespace

bool convert_options(std::span<const ReadingOption> options, std::span<PyObject *const> values,
                     SalvageOptions &salvage) {
  // Every value's type before any value's use, so that a wrong type is what
  // is reported first.
  std::array<OptionValue, READING_OPTION_COUNT> converted;
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (!convert_value(options[i], values[i], converted[i])) {
      return false;
    }
  }
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (!options[i].set(salvage, converted[i])) {
      PyErr_Format(PyExc_ValueError, "unknown %s: %R", options[i].name, values[i]);
      return false;
    }
  }
  if (std::string_view problem = unreadable_options(salvage); !problem.empty()) {
    PyErr_SetString(PyExc_ValueError, std::string(problem).c_str());
    return false;
  }
  return true;
}

bool convert_classic_options(std::span<PyObject *const, CLASSIC_OPTION_COUNT> values,
                             SalvageOptions &options) {
  options = SalvageOptions{};
  return convert_options(CLASSIC_OPTIONS, values, options);
}

bool convert_package_options(std::span<PyObject *const, READING_OPTION_COUNT> values,
                             SalvageOptions &options) {
  options = SalvageOptions::package();
  // The classic options are checked first, as the classic module checks them
  // (no encoding given), then with the rules.
  options.encoding.reset();
  return convert_options(CLASSIC_OPTIONS, values.first<CLASSIC_OPTION_COUNT>(), options) &&
         convert_options(PACKAGE_OPTIONS.subspan<CLASSIC_OPTION_COUNT>(),
                         values.subspan<CLASSIC_OPTION_COUNT>(), options);
}

} // namespace tidewrack::bindings
