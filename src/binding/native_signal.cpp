#include "binding/native_signal.hpp"

#include <array>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace tvlib::binding {

namespace {

// QMetaObject::activate(QObject*, int, void**) by its linker names: the
// Itanium C++ ABI (Linux, macOS, MinGW builds of Qt) and MSVC's.
constexpr const char* itanium_name = "_ZN11QMetaObject8activateEP7QObjectiPPv";
[[maybe_unused]] constexpr const char* msvc_name =
    "?activate@QMetaObject@@SAXPEAVQObject@@HPEAPEAX@Z";

template <typename Function>
Function as_function(void* address) {
  return reinterpret_cast<Function>(reinterpret_cast<std::uintptr_t>(address));
}

#ifdef _WIN32
void* find_activate(const QtBinding& /*qt*/) {
  // The host's Qt for Python links the Qt core library of its Qt, loaded
  // before the binding's QtCore module could be imported.
  for (const wchar_t* library : {L"Qt6Core.dll", L"Qt5Core.dll"}) {
    const HMODULE module = GetModuleHandleW(library);
    if (module == nullptr) {
      continue;
    }
    for (const char* name : {msvc_name, itanium_name}) {
      if (const FARPROC address = GetProcAddress(module, name); address != nullptr) {
        return reinterpret_cast<void*>(address);
      }
    }
  }
  return nullptr;
}
#else
void* find_activate(const QtBinding& qt) {
  // The binding's QtCore module was loaded without exporting its symbols to
  // the process; looking up through its own handle reaches the Qt core
  // library it depends on.
  const auto path = qt.core.attr("__file__").cast<std::string>();
  void* module = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (module == nullptr) {
    return nullptr;
  }
  void* address = dlsym(module, itanium_name);
  dlclose(module);  // only the reference RTLD_NOLOAD added: Python keeps it loaded
  return address;
}
#endif

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

void NativeSignal::emit(int value) const {
  std::array<void*, 2> arguments{nullptr, &value};
  activate_(sender_, index_, arguments.data());
}

void NativeSignal::emit() const {
  std::array<void*, 1> arguments{nullptr};
  activate_(sender_, index_, arguments.data());
}

}  // namespace tvlib::binding
