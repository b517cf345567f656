#include "binding/native_signal.hpp"

#include <pybind11/stl/filesystem.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/loader/qt_activate.hpp"

namespace tvlib::binding {

namespace {

template <typename Function>
Function as_function(void* address) {
  return reinterpret_cast<Function>(reinterpret_cast<std::uintptr_t>(address));
}

// QMetaObject::activate(QObject*, int, void**) of the Qt core library that
// the binding's QtCore module links against, and only in a Qt release the
// direct path is tested with; nullptr otherwise (core/loader/qt_activate).
void* find_activate(const QtBinding& qt) {
  const py::object file = py::getattr(qt.core, "__file__", py::none());
  if (!py::isinstance<py::str>(file)) {
    return nullptr;  // a module built into the interpreter: no library to go by
  }
  return loader::find_qt_activate(file.cast<std::filesystem::path>());
}

// One Qt in a process: looked up once.
void* activate_of(const QtBinding& qt) {
  static void* const activate = find_activate(qt);
  return activate;
}

}  // namespace

bool NativeSignal::reachable(const QtBinding& qt) { return activate_of(qt) != nullptr; }

std::optional<NativeSignal> NativeSignal::find(const QtBinding& qt,
                                               const py::handle& object,
                                               const char* signature) {
  const auto activate = as_function<Activate>(activate_of(qt));
  if (activate == nullptr) {
    return std::nullopt;
  }
  const int index =
      object.attr("metaObject")().attr("indexOfSignal")(signature).cast<int>();
  if (index < 0) {
    return std::nullopt;
  }
  const py::module_ shiboken =
      py::module_::import(qt.name == "PySide6" ? "shiboken6" : "shiboken2");
  const auto sender =
      shiboken.attr("getCppPointer")(object)[py::int_(0)].cast<std::uintptr_t>();
  return NativeSignal(activate, reinterpret_cast<void*>(sender), index);
}

namespace {

void require_gil() {
  if (PyGILState_Check() == 0) {
    throw std::logic_error("a Qt signal was emitted without the GIL");
  }
}

}  // namespace

void NativeSignal::emit(int value) const {
  require_gil();
  std::array<void*, 2> arguments{nullptr, &value};
  activate_(sender_, index_, arguments.data());
}

void NativeSignal::emit() const {
  require_gil();
  std::array<void*, 1> arguments{nullptr};
  activate_(sender_, index_, arguments.data());
}

}  // namespace tvlib::binding
