#include <windows.h>

#include <string>
#include <system_error>

#include "core/files/temp_folder.hpp"

namespace tvlib::files {

namespace {

using TempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);

// GetTempPath2W gives a process running as SYSTEM a folder other users cannot
// read; it exists only on Windows 11 and late Windows 10 updates, so it is
// looked up at run time and GetTempPathW stands in for it elsewhere.
TempPathFunction temp_path_function() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const FARPROC found =
      kernel != nullptr ? GetProcAddress(kernel, "GetTempPath2W") : nullptr;
  // Through void(*)() so that the compiler takes the cast as intended.
  return found != nullptr
             ? reinterpret_cast<TempPathFunction>(reinterpret_cast<void (*)()>(found))
             : &GetTempPathW;
}

}  // namespace

// Wide calls throughout: the user's name is part of this folder's path.
std::filesystem::path system_temp_folder() {
  static const TempPathFunction get_temp_path = temp_path_function();
  std::wstring buffer(MAX_PATH + 1, L'\0');
  DWORD length = get_temp_path(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length > buffer.size()) {  // too small: the size it needs, NUL included
    buffer.resize(length);
    length = get_temp_path(static_cast<DWORD>(buffer.size()), buffer.data());
  }
  if (length == 0 || length > buffer.size()) {
    throw std::filesystem::filesystem_error(
        "the temporary folder is unknown",
        std::error_code(static_cast<int>(GetLastError()), std::system_category()));
  }
  buffer.resize(length);
  return {buffer};
}

}  // namespace tvlib::files
