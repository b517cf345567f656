#include <vector>

#include "core/loader/loaded_function.hpp"

// psapi.h needs windows.h before it: kept out of clang-format's sorting.
// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on

namespace tvlib::loader {

namespace {

std::vector<HMODULE> loaded_modules() {
  const HANDLE process = GetCurrentProcess();
  std::vector<HMODULE> modules(512);
  DWORD needed = 0;
  for (;;) {
    const auto size = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    if (EnumProcessModules(process, modules.data(), size, &needed) == 0) {
      return {};
    }
    if (needed <= size) {
      break;
    }
    modules.resize(needed / sizeof(HMODULE) + 64);  // more may load meanwhile
  }
  modules.resize(needed / sizeof(HMODULE));
  return modules;
}

// The one loaded module bearing one of `names`; nullptr for none or several.
HMODULE only_module(const std::vector<std::wstring>& names) {
  const HANDLE process = GetCurrentProcess();
  HMODULE found = nullptr;
  for (const HMODULE module : loaded_modules()) {
    std::wstring base(MAX_PATH, L'\0');
    const DWORD length = GetModuleBaseNameW(process, module, base.data(),
                                            static_cast<DWORD>(base.size()));
    if (length == 0) {
      continue;
    }
    base.resize(length);
    for (const std::wstring& name : names) {
      if (CompareStringOrdinal(base.c_str(), -1, name.c_str(), -1, TRUE) ==
          CSTR_EQUAL) {
        if (found != nullptr && found != module) {
          return nullptr;
        }
        found = module;
      }
    }
  }
  return found;
}

}  // namespace

void* find_loaded_function(const LoadedLibrary& library,
                           std::initializer_list<const char*> names) noexcept {
  try {
    const HMODULE module = only_module(library.one_of);
    if (module == nullptr) {
      return nullptr;
    }
    for (const char* name : names) {
      if (const FARPROC address = GetProcAddress(module, name); address != nullptr) {
        return reinterpret_cast<void*>(address);
      }
    }
  } catch (...) {  // std::bad_alloc: treated as not found
  }
  return nullptr;
}

}  // namespace tvlib::loader
