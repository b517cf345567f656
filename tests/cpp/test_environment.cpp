#include "test_environment.hpp"

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#include <vector>

#include "core/files/path_text.hpp"
#else
#include <unistd.h>

#include <cstdlib>
#endif

namespace tvlib::test {

#ifdef _WIN32

namespace {

std::wstring wide(const std::string& utf8) {
  return files::path_from_utf8(utf8).wstring();
}

// Both copies of the environment: the process's, which libcurl and the
// core read, and the C runtime's.
void put(const char* name, const std::wstring* value) {
  const std::wstring wide_name = wide(name);
  SetEnvironmentVariableW(wide_name.c_str(),
                          value != nullptr ? value->c_str() : nullptr);
  std::wstring assignment = wide_name + L"=" + (value != nullptr ? *value : L"");
  _wputenv(assignment.c_str());
}

}  // namespace

std::optional<std::string> variable(const char* name) {
  const std::wstring wide_name = wide(name);
  const DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) {
    return std::nullopt;
  }
  std::vector<wchar_t> value(size);
  GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
  return files::utf8_of(std::filesystem::path(value.data()));
}

void set_variable(const char* name, const std::string& value) {
  const std::wstring wide_value = wide(value);
  put(name, &wide_value);
}

void unset_variable(const char* name) { put(name, nullptr); }

int process_id() { return static_cast<int>(GetCurrentProcessId()); }

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

#else

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void set_variable(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}

void unset_variable(const char* name) { unsetenv(name); }

int process_id() { return ::getpid(); }

bool running_under_wine() { return false; }

#endif

}  // namespace tvlib::test
