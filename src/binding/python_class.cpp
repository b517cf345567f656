#include "binding/python_class.hpp"

#include <pybind11/eval.h>

#include <string>
#include <string_view>

namespace tvlib::binding {

namespace {

// "self, a=False, b=None" -> "self, a, b"
std::string argument_names(std::string_view params) {
  std::string names;
  while (!params.empty()) {
    const std::size_t comma = params.find(',');
    std::string_view param = params.substr(0, comma);
    param = param.substr(0, param.find('='));
    while (!param.empty() && param.front() == ' ') {
      param.remove_prefix(1);
    }
    while (!param.empty() && param.back() == ' ') {
      param.remove_suffix(1);
    }
    if (!names.empty()) {
      names += ", ";
    }
    names += param;
    if (comma == std::string_view::npos) {
      break;
    }
    params.remove_prefix(comma + 1);
  }
  return names;
}

}  // namespace

py::object method(const char* name, const char* params, const py::cpp_function& impl) {
  py::dict scope;
  scope["_impl"] = impl;
  const std::string source = std::string("def ") + name + "(" + params +
                             "):\n    return _impl(" + argument_names(params) + ")\n";
  py::exec(py::str(source), scope);
  return scope[name];
}

py::object make_class(const char* module, const char* qualname, const py::object& base,
                      py::dict ns) {
  std::string_view short_name = qualname;
  if (const std::size_t dot = short_name.rfind('.'); dot != std::string_view::npos) {
    short_name.remove_prefix(dot + 1);
  }
  ns["__module__"] = module;
  ns["__qualname__"] = qualname;
  const py::object metaclass = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
  return metaclass(py::str(std::string(short_name)), py::make_tuple(base), ns);
}

}  // namespace tvlib::binding
