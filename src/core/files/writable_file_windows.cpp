#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <system_error>

#include "core/files/path_text.hpp"
#include "core/files/writable_file.hpp"

namespace tvlib::files {

// The wide call keeps non-ASCII names intact. CREATE_NEW fails on any name
// that exists, a link included. Sharing read only lets the host and virus
// scanners read the package while it arrives but no one else write, rename or
// delete it; a handle that is not inheritable stays out of programs the host
// starts meanwhile, which would otherwise hold the file open after the
// download ends.
std::FILE* create_new_file(const std::filesystem::path& path) {
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "cannot create " + utf8_of(path));
  }
  const int fd =
      _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
  if (file == nullptr) {
    if (fd < 0) {
      CloseHandle(handle);
    } else {
      _close(fd);
    }
    DeleteFileW(path.c_str());
    throw std::system_error(ERROR_NOT_ENOUGH_MEMORY, std::system_category(),
                            "cannot create " + utf8_of(path));
  }
  return file;
}

}  // namespace tvlib::files
