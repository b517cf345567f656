// The stand-ins for Qt core libraries and for Qt for Python's QtCore module
// that the loader's tests load (fake_qt_core.cpp, fake_qtcore_module.cpp).
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace tvlib::testing {

// A stand-in by its file name. On Windows beside the running executable:
// the build's paths are not the running system's.
inline std::filesystem::path fake_qt_file(const char* name) {
#ifdef _WIN32
  std::wstring executable(MAX_PATH, L'\0');
  executable.resize(GetModuleFileNameW(nullptr, executable.data(), MAX_PATH));
  return std::filesystem::path(executable).parent_path() / name;
#else
  return std::filesystem::path(TVLIB_FAKE_QT_DIR) / name;
#endif
}

// Whether the process has loaded `file`, without loading it.
inline bool is_loaded(const std::filesystem::path& file) {
#ifdef _WIN32
  return GetModuleHandleW(file.c_str()) != nullptr;
#else
  void* handle = dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle != nullptr) {
    dlclose(handle);
  }
  return handle != nullptr;
#endif
}

// A library loaded for one test, unloaded after it (with what only it
// brought in), so that the cases of one process do not see each other's.
class TestLibrary {
 public:
  // `global` (POSIX): its symbols go into the process's global scope, where
  // they come before those of the libraries a module links against, as a
  // host executable's own would.
  explicit TestLibrary(std::filesystem::path file, bool global = false)
      : file_(std::move(file)) {
#ifdef _WIN32
    (void)global;
    handle_ = LoadLibraryW(file_.c_str());
#else
    handle_ = dlopen(file_.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
#endif
    if (handle_ == nullptr) {
      throw std::runtime_error("cannot load " + file_.string());
    }
  }
  ~TestLibrary() {
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
  }
  TestLibrary(const TestLibrary&) = delete;
  TestLibrary& operator=(const TestLibrary&) = delete;

  const std::filesystem::path& file() const { return file_; }

  // One of its functions, looked up in it and what it depends on.
  template <typename Function>
  Function function(const char* name) const {
#ifdef _WIN32
    void* address =
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    void* address = dlsym(handle_, name);
#endif
    if (address == nullptr) {
      throw std::runtime_error(file_.string() + " has no " + name);
    }
    return reinterpret_cast<Function>(address);
  }

 private:
  std::filesystem::path file_;
  void* handle_;
};

}  // namespace tvlib::testing
