#include <utility>

#include "core/files/file_hold.hpp"

namespace tvlib::files {

FileHold::FileHold(FileHold&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

FileHold& FileHold::operator=(FileHold&& other) noexcept {
  handle_ = std::exchange(other.handle_, nullptr);
  return *this;
}

FileHold FileHold::of(const std::filesystem::path& /*path*/) { return {}; }

void FileHold::read_all(
    const std::function<void(std::span<const std::byte>)>& /*piece*/) const {}

void FileHold::release() noexcept { handle_ = nullptr; }

}  // namespace tvlib::files
