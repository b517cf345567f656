#include <dlfcn.h>

#include "core/loader/loaded_function.hpp"

namespace tvlib::loader {

void* find_loaded_function(const LoadedLibrary& library,
                           std::initializer_list<const char*> names) noexcept {
  // RTLD_NOLOAD: a handle only if it is loaded, and a reference taken that
  // dlclose gives back. dlsym through the handle searches the library and its
  // dependencies, which a library loaded without RTLD_GLOBAL (a Python
  // extension module) keeps out of the global scope.
  void* handle = dlopen(library.searched_from.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) {
    return nullptr;
  }
  void* found = nullptr;
  for (const char* name : names) {
    found = dlsym(handle, name);
    if (found != nullptr) {
      break;
    }
  }
  dlclose(handle);
  return found;
}

}  // namespace tvlib::loader
