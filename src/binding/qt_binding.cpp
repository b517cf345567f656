#include "binding/qt_binding.hpp"

#include "binding/python_text.hpp"

namespace tvlib::binding {

const char* qt_binding_for_year(long release_year) {
  return release_year < first_qt6_year ? "PySide2" : "PySide6";
}

long host_release_year(const py::object& rt) {
  return rt.attr("maxversion")()[py::int_(7)].cast<long>();
}

QtBinding load_qt_binding(long release_year) {
  const std::string name = qt_binding_for_year(release_year);
  try {
    return QtBinding{name, py::module_::import((name + ".QtCore").c_str()),
                     py::module_::import((name + ".QtGui").c_str()),
                     py::module_::import((name + ".QtWidgets").c_str())};
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) {
      throw;
    }
    const std::string message = "Kolvaren needs " + name + " in a " +
                                std::to_string(release_year) +
                                " host, and it cannot be imported: " + message_of(e);
    // Chained, so that the traceback shows where inside the binding it failed.
    py::raise_from(e, PyExc_ImportError, message.c_str());
    throw py::error_already_set();
  }
}

}  // namespace tvlib::binding
