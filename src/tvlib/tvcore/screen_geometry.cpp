// gescre(): the primary screen's usable area and its scale against 96 DPI, so
// that windows designed at 96 DPI open at the user's display scaling.
#include <stdexcept>
#include <string>

#include "tvcore/tvcore.hpp"

namespace tvlib::tvcore {

namespace {

// Inside the host the application exists already; elsewhere we make one and
// keep it for the rest of the process (never released, like the environment).
py::object running_application() {
  const binding::QtBinding& qt = environment().qt;
  const py::object application_class = qt.widgets.attr("QApplication");
  py::object app = application_class.attr("instance")();
  if (app.is_none()) {
    const py::module_ sys = py::module_::import("sys");
    // An embedding interpreter need not set sys.argv.
    const py::object argv = py::hasattr(sys, "argv") ? sys.attr("argv") : py::list();
    app = application_class(argv);
    static auto* kept = new py::object(app);
    (void)kept;
  }
  if (!py::isinstance(app, qt.gui.attr("QGuiApplication"))) {
    throw std::runtime_error(
        "gescre: the running application is a " +
        py::str(py::type::of(app).attr("__name__")).cast<std::string>() +
        ", which has no screens");
  }
  return app;
}

}  // namespace

py::tuple screen_geometry() {
  const py::object screen = running_application().attr("primaryScreen")();
  if (screen.is_none()) {
    throw std::runtime_error(
        "gescre: there is no primary screen (this process has no display)");
  }
  const py::object area = screen.attr("availableGeometry")();
  const double dpi = screen.attr("logicalDotsPerInch")().cast<double>();
  return py::make_tuple(area.attr("width")().cast<int>(),
                        area.attr("height")().cast<int>(), dpi / 96.0);
}

int scaled(int designed, double scale) {
  // Truncation toward zero, each size on its own.
  return static_cast<int>(designed * scale);
}

void init_screen_geometry(py::module_& m) {
  m.def("gescre", &screen_geometry,
        "(available width, available height, logical DPI / 96) of the primary screen, "
        "read afresh at every call.");
}

}  // namespace tvlib::tvcore
