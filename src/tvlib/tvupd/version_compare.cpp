// Versions are compared with Python's own rules: float() for the numeric
// reading, the general greater-than as the fallback, str() for text forms.
#include <optional>

#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

// float(value), or nothing when Python gives no number for it.
std::optional<double> numeric_reading(const py::object& value) {
  PyObject* number = PyNumber_Float(value.ptr());
  if (number == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_ValueError) ||
        PyErr_ExceptionMatches(PyExc_TypeError) ||
        PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      return std::nullopt;
    }
    throw py::error_already_set();
  }
  const double result = PyFloat_AsDouble(number);
  Py_DECREF(number);
  return result;
}

}  // namespace

bool compare_versions(const py::object& latest, const py::object& current) {
  if (const auto offered = numeric_reading(latest)) {
    if (const auto installed = numeric_reading(current)) {
      return *offered > *installed;  // a NaN on either side gives false
    }
  }
  const int greater = PyObject_RichCompareBool(latest.ptr(), current.ptr(), Py_GT);
  if (greater < 0) {
    throw py::error_already_set();
  }
  return greater == 1;
}

bool same_version(const py::object& offered, const py::object& installed) {
  return py::str(offered).equal(py::str(installed));
}

}  // namespace tvlib::tvupd
