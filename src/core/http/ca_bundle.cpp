#include "core/http/ca_bundle.hpp"

#ifdef _WIN32
#include <windows.h>

#include <string_view>

#include "core/files/path_text.hpp"
#else
#include <cstdlib>
#endif

namespace tvlib::http {

#ifdef _WIN32

std::string ca_bundle_setting() {
  // The process environment itself, which Python's os.environ writes too; the
  // CRT's narrow copy would read the name in the ANSI code page.
  const std::wstring_view name = L"KOLVAREN_CA_BUNDLE";
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = GetEnvironmentVariableW(name.data(), value.data(),
                                               static_cast<DWORD>(value.size()));
    if (size == 0) {
      return {};
    }
    if (size < value.size()) {
      value.resize(size);
      return files::utf8_of(std::filesystem::path(value));
    }
    value.resize(size);  // the size needed, terminator included
  }
}

#else

std::string ca_bundle_setting() {
  const char* value = std::getenv(extra_ca_variable);
  return value != nullptr ? std::string(value) : std::string();
}

#endif

}  // namespace tvlib::http
