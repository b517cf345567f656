#include "binding/host_bridge.hpp"

#include "binding/python_text.hpp"
#include "core/maxscript/string_literal.hpp"

namespace tvlib::binding {

py::object HostBridge::execute(std::string_view text) const {
  if (!execute_) {
    execute_ = rt_.attr("execute");
  }
  return execute_(py::str(text.data(), text.size()));
}

void HostBridge::pushprompt(std::string_view text) const {
  rt_.attr("pushprompt")(py::str(text.data(), text.size()));
}

void HostBridge::filein(py::handle path) const { rt_.attr("filein")(path); }

void HostBridge::set_global(const char* name, py::handle value) const {
  rt_.attr(name) = value;
}

py::object HostBridge::global(const char* name) const { return rt_.attr(name); }

std::string literal_body(py::handle value) { return maxscript::escape(text_of(value)); }

}  // namespace tvlib::binding
