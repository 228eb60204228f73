#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bindings/common/process_object.h"
#include "bindings/common/py_ptr.h"

namespace tidewrack::bindings {

inline constexpr std::size_t MAX_PARAMETERS = 25;

// The values bound to the parameters of one call, in declaration order; each
// borrowed from the call's arguments, nullptr when the parameter was omitted.
using BoundValues = std::array<PyObject *, MAX_PARAMETERS>;

// The parameters of one entry point: the first `positional` ones are
// positional-or-keyword, the rest keyword-only; the first `required` ones have
// no default.
class ParameterList {
public:
  template <std::size_t N>
  ParameterList(const char *class_name, const char *function_name, const char *const (&names)[N],
                std::size_t required, std::size_t positional = N)
      : class_name_(class_name), function_name_(function_name), names_(names), required_(required),
        positional_(positional) {
    static_assert(N <= MAX_PARAMETERS);
  }
  template <std::size_t N>
  ParameterList(const char *class_name, const char *function_name,
                const std::array<const char *, N> &names, std::size_t required,
                std::size_t positional = N)
      : class_name_(class_name), function_name_(function_name), names_(names), required_(required),
        positional_(positional) {
    static_assert(N <= MAX_PARAMETERS);
  }

  // Binds a vectorcall: `nargs` positionals, then one value per name in `kwnames`.
  bool bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, BoundValues &values);
  // Binds a classic call: a positional tuple and an optional keyword dict.
  bool bind(PyObject *args, PyObject *kwargs, BoundValues &values);

private:
  std::string display_name() const;
  bool bind_positionals(PyObject *const *args, Py_ssize_t nargs, BoundValues &values);
  bool bind_keyword(PyObject *name, PyObject *value, BoundValues &values);
  bool check_required(const BoundValues &values);

  const char *class_name_;
  const char *function_name_;
  std::span<const char *const> names_;
  std::size_t required_;
  std::size_t positional_;
  ProcessObject interned_names_; // tuple of the names, interned, for pointer comparison
};

// Conversions of bound values. Each returns false with the conversion's
// exception set, carrying the note "while processing '{parameter}'".
// `value` is nullptr for an omitted parameter.

// Required text. The view is valid as long as `value` lives.
bool convert_text(PyObject *value, const char *parameter, std::string_view &text);
bool convert_text(PyObject *value, const char *parameter, std::string &text);
// Text with a default for an omitted value; None is refused.
bool convert_text(PyObject *value, const char *parameter, std::string_view fallback,
                  std::string &text);
// Optional text: omitted or None is absent.
bool convert_optional_text(PyObject *value, const char *parameter,
                           std::optional<std::string> &text);
// Flag: exactly True or False, or a numpy boolean; default for an omitted value.
bool convert_flag(PyObject *value, const char *parameter, bool fallback, bool &flag);
// Optional count: omitted or None is absent; otherwise an int or an __index__ object.
bool convert_optional_count(PyObject *value, const char *parameter,
                            std::optional<std::uint64_t> &count);
// Optional callable: omitted or None gives nullptr; otherwise borrowed from `value`.
bool convert_optional_callable(PyObject *value, const char *parameter, PyObject *&callable);
// An iterator over an iterable argument; left empty for None or a missing argument.
bool convert_optional_iterator(PyObject *value, const char *parameter, PyPtr &iterator);

} // namespace tidewrack::bindings
