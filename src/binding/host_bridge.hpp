// The one way into the host: its scripting runtime, pymxs.runtime.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace tvlib::binding {

namespace py = pybind11;

// Every call runs on the host's user-interface thread with the GIL held.
// MAXScript errors come back as the Python exceptions the runtime raises.
class HostBridge {
 public:
  HostBridge() = default;
  explicit HostBridge(py::object rt) : rt_(std::move(rt)) {}

  // Evaluates a MAXScript text; the value of its last expression.
  py::object execute(std::string_view text) const;
  void pushprompt(std::string_view text) const;
  void filein(py::handle path) const;
  void set_global(const char* name, py::handle value) const;
  [[nodiscard]] py::object global(const char* name) const;

  [[nodiscard]] const py::object& runtime() const { return rt_; }

 private:
  py::object rt_;
  // rt.execute, looked up on first use: a lookup of the runtime's global
  // costs about as much as a short command itself, and the download's
  // progress runs one command per 8 KiB.
  mutable py::object execute_;
};

// A value's text form as the body of a MAXScript string literal: str(value)
// with backslashes, double quotes and line breaks escaped, so that the host
// reads back exactly that text (a Windows path with "\n" in it included).
std::string literal_body(py::handle value);

}  // namespace tvlib::binding
