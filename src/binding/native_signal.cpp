#include "binding/native_signal.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "core/loader/loaded_function.hpp"

namespace tvlib::binding {

namespace {

template <typename Function>
Function as_function(void* address) {
  return reinterpret_cast<Function>(reinterpret_cast<std::uintptr_t>(address));
}

// QMetaObject::activate(QObject*, int, void**) in the Qt core library that
// the host's Qt for Python uses: on POSIX as the binding's QtCore module sees
// it (it was loaded without exporting its symbols to the process), on
// Windows in the one Qt core DLL of the process. By its linker names: the
// Itanium C++ ABI (Linux, macOS, MinGW builds of Qt) and MSVC's.
void* find_activate(const QtBinding& qt) {
  loader::LoadedLibrary library;
  library.searched_from = qt.core.attr("__file__").cast<std::string>();
  library.one_of = {L"Qt6Core.dll", L"Qt5Core.dll"};
  return loader::find_loaded_function(
      library, {"?activate@QMetaObject@@SAXPEAVQObject@@HPEAPEAX@Z",
                "_ZN11QMetaObject8activateEP7QObjectiPPv"});
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
