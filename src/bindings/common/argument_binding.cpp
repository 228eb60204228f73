#include "bindings/common/argument_binding.h"

#include <vector>

#include "bindings/common/py_ptr.h"
#include "bindings/common/raised_exception.h"

namespace tidewrack::bindings {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_quoted(const std::vector<const char *> &names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      joined += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    }
    joined += '\'';
    joined += names[i];
    joined += '\'';
  }
  return joined;
}

void attach_note(PyObject *exception, const char *parameter) {
  if (exception == nullptr) {
    return;
  }
  PyPtr note(PyUnicode_FromFormat("while processing '%s'", parameter));
  PyPtr result;
  if (note) {
    result.reset(PyObject_CallMethod(exception, "add_note", "O", note.get()));
  }
  if (!result) {
    // The conversion's exception matters more than a failure to annotate it.
    PyErr_Clear();
  }
}

// Adds the note naming the parameter to the exception being raised; returns false.
bool fail_with_note(const char *parameter) {
  PyObject *raised = take_raised_exception();
  attach_note(raised, parameter);
  restore_raised_exception(raised);
  return false;
}

// TypeError for a value of the wrong type; returns false.
bool refuse_type(PyObject *value, const char *expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return false;
  }
  PyPtr qualname(PyType_GetQualName(Py_TYPE(value)));
  if (qualname) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                 expected);
  }
  return false;
}

bool has_ascii_name(PyObject *text, const char *name) {
  return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, name) == 0;
}

// numpy's boolean scalar type: named "bool_" (numpy 1) or "bool" (numpy 2).
bool is_numpy_bool(PyTypeObject *type) {
  PyPtr name(PyType_GetName(type));
  if (!name || !(has_ascii_name(name.get(), "bool_") || has_ascii_name(name.get(), "bool"))) {
    PyErr_Clear();
    return false;
  }
  PyPtr module(PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return has_ascii_name(module.get(), "numpy");
}

} // namespace

std::string ParameterList::display_name() const {
  std::string name;
  if (*class_name_ != '\0') {
    name += class_name_;
    name += '.';
  }
  name += function_name_;
  name += "()";
  return name;
}

bool ParameterList::bind_positionals(PyObject *const *args, Py_ssize_t nargs, BoundValues &values) {
  values.fill(nullptr);
  auto given = static_cast<std::size_t>(nargs);
  if (given > positional_) {
    const char *verb = given == 1 ? "was" : "were";
    if (required_ == positional_) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                   display_name().c_str(), positional_, nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zu to %zu positional arguments but %zd %s given",
                   display_name().c_str(), required_, positional_, nargs, verb);
    }
    return false;
  }
  for (std::size_t i = 0; i < given; ++i) {
    values[i] = args[i];
  }
  return true;
}

bool ParameterList::bind_keyword(PyObject *name, PyObject *value, BoundValues &values) {
  PyObject *interned = interned_names_.get([this]() -> PyObject * {
    PyPtr tuple(PyTuple_New(static_cast<Py_ssize_t>(names_.size())));
    for (std::size_t i = 0; tuple && i < names_.size(); ++i) {
      PyObject *text = PyUnicode_InternFromString(names_[i]);
      if (text == nullptr) {
        return nullptr;
      }
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
    }
    return tuple.release();
  });
  if (interned == nullptr) {
    return false;
  }
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", display_name().c_str());
    return false;
  }
  std::size_t found = names_.size();
  for (std::size_t i = 0; i < names_.size() && found == names_.size(); ++i) {
    if (PyTuple_GET_ITEM(interned, static_cast<Py_ssize_t>(i)) == name) {
      found = i;
    }
  }
  for (std::size_t i = 0; i < names_.size() && found == names_.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, names_[i]) == 0) {
      found = i;
    }
  }
  if (found == names_.size()) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 display_name().c_str(), name);
    return false;
  }
  if (values[found] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                 display_name().c_str(), names_[found]);
    return false;
  }
  values[found] = value;
  return true;
}

bool ParameterList::check_required(const BoundValues &values) {
  std::vector<const char *> missing;
  for (std::size_t i = 0; i < required_; ++i) {
    if (values[i] == nullptr) {
      missing.push_back(names_[i]);
    }
  }
  if (missing.empty()) {
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", display_name().c_str(),
               missing.size(), missing.size() == 1 ? "argument" : "arguments",
               join_quoted(missing).c_str());
  return false;
}

bool ParameterList::bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                         BoundValues &values) {
  if (!bind_positionals(args, nargs, values)) {
    return false;
  }
  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    if (!bind_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i], values)) {
      return false;
    }
  }
  return check_required(values);
}

bool ParameterList::bind(PyObject *args, PyObject *kwargs, BoundValues &values) {
  auto tuple = reinterpret_cast<PyTupleObject *>(args);
  if (!bind_positionals(tuple->ob_item, PyTuple_GET_SIZE(args), values)) {
    return false;
  }
  bool bound = true;
  if (kwargs != nullptr) {
#if PY_VERSION_HEX >= 0x030D0000
    Py_BEGIN_CRITICAL_SECTION(kwargs);
#endif
    Py_ssize_t position = 0;
    PyObject *name = nullptr;
    PyObject *value = nullptr;
    while (bound && PyDict_Next(kwargs, &position, &name, &value)) {
      bound = bind_keyword(name, value, values);
    }
#if PY_VERSION_HEX >= 0x030D0000
    Py_END_CRITICAL_SECTION();
#endif
  }
  return bound && check_required(values);
}

bool convert_text(PyObject *value, const char *parameter, std::string_view &text) {
  if (!PyUnicode_Check(value)) {
    refuse_type(value, "str");
    return fail_with_note(parameter);
  }
  Py_ssize_t size = 0;
  const char *data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {
    return fail_with_note(parameter);
  }
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_text(PyObject *value, const char *parameter, std::string &text) {
  std::string_view view;
  if (!convert_text(value, parameter, view)) {
    return false;
  }
  text.assign(view);
  return true;
}

bool convert_text(PyObject *value, const char *parameter, std::string_view fallback,
                  std::string &text) {
  if (value == nullptr) {
    text.assign(fallback);
    return true;
  }
  return convert_text(value, parameter, text);
}

bool convert_optional_text(PyObject *value, const char *parameter,
                           std::optional<std::string> &text) {
  if (value == nullptr || value == Py_None) {
    text.reset();
    return true;
  }
  return convert_text(value, parameter, text.emplace());
}

bool convert_flag(PyObject *value, const char *parameter, bool fallback, bool &flag) {
  if (value == nullptr) {
    flag = fallback;
    return true;
  }
  if (value == Py_True || value == Py_False) {
    flag = value == Py_True;
    return true;
  }
  PyTypeObject *type = Py_TYPE(value);
  if (!is_numpy_bool(type)) {
    refuse_type(value, "bool");
    return fail_with_note(parameter);
  }
  inquiry truth = type->tp_as_number == nullptr ? nullptr : type->tp_as_number->nb_bool;
  if (truth == nullptr) {
    PyPtr qualname(PyType_GetQualName(type));
    if (qualname) {
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                   qualname.get());
    }
    return fail_with_note(parameter);
  }
  int truth_value = truth(value);
  if (truth_value < 0) {
    return fail_with_note(parameter);
  }
  flag = truth_value != 0;
  return true;
}

bool convert_optional_count(PyObject *value, const char *parameter,
                            std::optional<std::uint64_t> &count) {
  if (value == nullptr || value == Py_None) {
    count.reset();
    return true;
  }
  PyPtr index;
  PyObject *integer = value;
  if (!PyLong_Check(value)) {
    index.reset(PyNumber_Index(value));
    if (!index) {
      return fail_with_note(parameter);
    }
    integer = index.get();
  }
  unsigned long long number = PyLong_AsUnsignedLongLong(integer);
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return fail_with_note(parameter);
  }
  count = static_cast<std::uint64_t>(number);
  return true;
}

bool convert_optional_callable(PyObject *value, const char *parameter, PyObject *&callable) {
  if (value == nullptr || value == Py_None) {
    callable = nullptr;
    return true;
  }
  if (PyCallable_Check(value) == 0) {
    PyPtr qualname(PyType_GetQualName(Py_TYPE(value)));
    if (qualname) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not callable", qualname.get());
    }
    return fail_with_note(parameter);
  }
  callable = value;
  return true;
}

bool convert_optional_iterator(PyObject *value, const char *parameter, PyPtr &iterator) {
  if (value == nullptr || value == Py_None) {
    iterator.reset();
    return true;
  }
  iterator.reset(PyObject_GetIter(value));
  return iterator ? true : fail_with_note(parameter);
}

} // namespace tidewrack::bindings
