#include <windows.h>

#include <array>
#include <system_error>
#include <utility>

#include "core/files/file_hold.hpp"
#include "core/files/path_text.hpp"

namespace tvlib::files {

FileHold::FileHold(FileHold&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

FileHold& FileHold::operator=(FileHold&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

// Read access only, so that the host's own reader (which shares reading and
// writing, but rarely deleting) can open the file beside it; sharing read
// only, so that no one can write, rename or delete it meanwhile.
FileHold FileHold::of(const std::filesystem::path& path) {
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "cannot hold " + utf8_of(path));
  }
  FileHold hold;
  hold.handle_ = handle;
  return hold;
}

void FileHold::read_all(
    const std::function<void(std::span<const std::byte>)>& piece) const {
  if (handle_ == nullptr) {
    return;
  }
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "cannot read the held file");
  }
  std::array<std::byte, 64 * 1024> buffer{};
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                  nullptr)) {
      throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                              "cannot read the held file");
    }
    if (read == 0) {
      return;
    }
    piece(std::span<const std::byte>(buffer.data(), read));
  }
}

void FileHold::release() noexcept {
  if (handle_ != nullptr) {
    CloseHandle(std::exchange(handle_, nullptr));
  }
}

}  // namespace tvlib::files
