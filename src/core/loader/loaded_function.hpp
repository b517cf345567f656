// Functions of libraries the process has loaded already, found the way a
// loaded module's own calls reach them, never by loading anything.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <utility>

namespace tvlib::loader {

// A library the process has loaded, found through a module that depends on
// it. No reference is taken: it stays loaded while that module does.
class LoadedLibrary {
 public:
  // The library loaded from `file` (as the process names it) at `base`.
  LoadedLibrary(std::filesystem::path file, const void* base)
      : file_(std::move(file)), base_(base) {}

  // The first of `names` that the library itself exports (not one it merely
  // forwards to or reaches through its dependencies), or nullptr.
  [[nodiscard]] void* function(std::initializer_list<const char*> names) const noexcept;

  [[nodiscard]] const std::filesystem::path& file() const noexcept { return file_; }

 private:
  std::filesystem::path file_;
  const void* base_;  // where it is mapped: the same library, the same base
};

// A function as a loaded module's calls of it reach it, and the library
// that holds it.
struct ImportedFunction {
  void* address;
  LoadedLibrary library;
};

// The function `name` that the loaded module `importer` (its file) calls:
// on Windows through its import address table, on POSIX as the module's
// symbol lookup finds it. Nothing when the module is not loaded, does not
// reach such a function, or where its calls go is not certain: imported
// from two libraries (Windows), or the process's global scope holds another
// definition that would interpose on the module's own (POSIX).
std::optional<ImportedFunction> find_imported_function(
    const std::filesystem::path& importer, const char* name) noexcept;

}  // namespace tvlib::loader
