// Functions of libraries the process has loaded already, looked up by name.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace tvlib::loader {

// Where to look. Each platform reads its own half.
struct LoadedLibrary {
  // POSIX: a loaded library; the lookup sees what it sees, itself and the
  // libraries it depends on, whatever the process's global scope holds.
  std::filesystem::path searched_from;
  // Windows: base names of modules; exactly one loaded module may bear one
  // of them, since with two it is not known which one is meant.
  std::vector<std::wstring> one_of;
};

// The first of `names` that the library exports, or nullptr: the library is
// not loaded (nothing is loaded here), is ambiguous, or exports none of them.
void* find_loaded_function(const LoadedLibrary& library,
                           std::initializer_list<const char*> names) noexcept;

}  // namespace tvlib::loader
