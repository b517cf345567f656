#include "core/http/environment.hpp"

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#include <string_view>

#include "core/files/path_text.hpp"
#else
#include <cstdlib>
#endif

namespace tvlib::http {

#ifdef _WIN32

std::optional<std::string> environment_value(const char* name) {
  const std::string_view ascii(name);
  const std::wstring wide_name(ascii.begin(), ascii.end());
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD size = GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                               static_cast<DWORD>(value.size()));
    if (size == 0) {
      // Zero is also the length of a variable set to nothing.
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return std::nullopt;
      }
      return std::string();
    }
    if (size < value.size()) {
      value.resize(size);
      return files::utf8_of(std::filesystem::path(value));
    }
    value.resize(size);  // the size needed, terminator included
  }
}

#else

std::optional<std::string> environment_value(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

#endif

}  // namespace tvlib::http
