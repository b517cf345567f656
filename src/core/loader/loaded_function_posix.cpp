#include <dlfcn.h>

#include "core/loader/loaded_function.hpp"

namespace tvlib::loader {

namespace {

// A reference to a library the process has loaded, for the time of a
// lookup: RTLD_NOLOAD gives one only if it is loaded, and dlclose gives it
// back.
class Handle {
 public:
  explicit Handle(const std::filesystem::path& file)
      : handle_(dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {}
  ~Handle() {
    if (handle_ != nullptr) {
      dlclose(handle_);
    }
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  [[nodiscard]] void* get() const { return handle_; }

 private:
  void* handle_;
};

}  // namespace

void* LoadedLibrary::function(std::initializer_list<const char*> names) const noexcept {
  const Handle library(file_);
  if (library.get() == nullptr) {
    return nullptr;
  }
  for (const char* name : names) {
    // dlsym through a handle also searches the library's dependencies.
    void* found = dlsym(library.get(), name);
    Dl_info info{};
    if (found != nullptr && dladdr(found, &info) != 0 && info.dli_fbase == base_) {
      return found;
    }
  }
  return nullptr;
}

std::optional<ImportedFunction> find_imported_function(
    const std::filesystem::path& importer, const char* name) noexcept {
  try {
    void* address = nullptr;
    {
      // The module and the libraries it depends on, in the order its own
      // references are bound in; a module loaded without RTLD_GLOBAL (a
      // Python extension module) keeps them out of the global scope.
      const Handle module(importer);
      if (module.get() == nullptr) {
        return std::nullopt;
      }
      address = dlsym(module.get(), name);
    }
    if (address == nullptr) {
      return std::nullopt;
    }
    // The global scope comes first when the module's references are bound:
    // another definition there (a host executable's own copy of the
    // library, or one loaded with RTLD_GLOBAL) may be what the module's
    // calls reach, depending on symbol versions.
    const void* global = dlsym(RTLD_DEFAULT, name);
    if (global != nullptr && global != address) {
      return std::nullopt;
    }
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr ||
        info.dli_fbase == nullptr) {
      return std::nullopt;
    }
    return ImportedFunction{address, LoadedLibrary(info.dli_fname, info.dli_fbase)};
  } catch (...) {  // std::bad_alloc: treated as not found
    return std::nullopt;
  }
}

}  // namespace tvlib::loader
