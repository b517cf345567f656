// A file kept as it is while someone else (the host) reads it by name.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>

namespace tvlib::files {

// On Windows an open handle that lets others read the file but not write,
// rename or delete it, until the hold is released or destroyed. On POSIX
// nothing is held (is_open() is false): the private folder the file lives in
// already keeps everyone else from changing what is under its name.
class FileHold {
 public:
  FileHold() = default;
  ~FileHold() { release(); }
  FileHold(FileHold&& other) noexcept;
  FileHold& operator=(FileHold&& other) noexcept;
  FileHold(const FileHold&) = delete;
  FileHold& operator=(const FileHold&) = delete;

  // Takes hold of the file at `path` (Windows). Throws std::system_error when
  // it cannot be opened so, someone else holding it open for writing included.
  static FileHold of(const std::filesystem::path& path);

  [[nodiscard]] bool is_open() const { return handle_ != nullptr; }

  // Passes the held file's bytes, from its start, to `piece` a piece at a
  // time. Throws std::system_error.
  void read_all(const std::function<void(std::span<const std::byte>)>& piece) const;

  void release() noexcept;

 private:
  void* handle_ = nullptr;
};

}  // namespace tvlib::files
