#include "core/files/user_folders.hpp"

#include <cstdlib>
#include <stdexcept>

#ifdef _WIN32
#include <shlobj.h>
#include <windows.h>
#endif

namespace tvlib::files {

namespace fs = std::filesystem;

#ifdef _WIN32

fs::path plugin_config_folder() {
  PWSTR folder = nullptr;
  // The known-folder call hands back UTF-16, so non-ASCII user names survive.
  if (FAILED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder))) {
    CoTaskMemFree(folder);
    throw std::runtime_error("the roaming application-data folder is unknown");
  }
  fs::path path(folder);
  CoTaskMemFree(folder);
  return path / L"Kolvaren";
}

#else

fs::path plugin_config_folder() {
  // Read with the caller's lock on the environment (the GIL in our modules).
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
    return fs::path(xdg) / "kolvaren";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return fs::path(home) / ".config" / "kolvaren";
  }
  throw std::runtime_error("neither XDG_CONFIG_HOME nor HOME is set");
}

#endif

}  // namespace tvlib::files
