// Python classes derived from Qt classes, built from C++.
#pragma once

#include <pybind11/pybind11.h>

namespace tvlib::binding {

namespace py = pybind11;

// A Python function `name(params)` that forwards its arguments to `impl`.
//
// PySide calls an override of a C++ virtual (QThread.run) and delivers a signal
// to a bound method only when the attribute is a genuine Python function: it
// reads the function's code object. A pybind11 function stored in the class
// crashes it (PySide6 segfaults in run, PySide2 in connect). So every method of
// our Qt classes is a one-line Python function around the C++ implementation.
//
// `params` is a Python parameter list such as "self, manuel_update=False".
py::object method(const char* name, const char* params, const py::cpp_function& impl);

// Creates `name(base)` with `ns` as its body through the base's own metaclass,
// as a class statement would. Signals must already be in `ns`: PySide names a
// signal from the class body and a signal added later fires the wrong slots.
py::object make_class(const char* module, const char* qualname, const py::object& base,
                      py::dict ns);

}  // namespace tvlib::binding
