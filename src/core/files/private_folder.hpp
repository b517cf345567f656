// A folder of the user's own inside a folder others may share (the system
// temporary folder), which no one else can plant files in or swap.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace tvlib::files {

// The folder is there but someone else could change what is in it.
class UnsafeFolder : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `folder`, created with its missing parents when it is not there. Throws
// UnsafeFolder ("the <role> <folder> is refused: " and which check fails),
// std::filesystem::filesystem_error when it cannot be created or looked at.
//
// POSIX: a new folder is mode 0700. The folder must be a real folder (not a
// symbolic link) owned by the effective user and not writable by group or
// others; each folder above it must belong to the user or to root, and one
// that others may write must have the sticky bit, else another user could
// rename our folder aside and put one of theirs in its place.
//
// Windows: a new folder gets an access list of its own, protected from
// inheritance, that gives full control to the user, SYSTEM and the
// Administrators (who can take any file anyway; scanners and backups run as
// them) and to no one else. An existing folder must not be a reparse point (a
// junction or a symbolic link), must be owned by the user, SYSTEM or the
// Administrators (who own what an elevated process makes), and no one else
// may write, delete or change permissions in it.
void make_private_folder(const std::filesystem::path& folder, std::string_view role);

// A private folder held open while files are made in it, so that the files
// land in the folder that was checked, whatever is done to its path meanwhile.
// POSIX: a descriptor opened with O_DIRECTORY | O_NOFOLLOW, checked again
// (owner and mode) on the descriptor itself; files are created, renamed and
// removed relative to it. Windows: a handle that does not share deleting, so
// no one can rename or remove the folder while it is open; the calls then go
// by path. Only that it is a real folder is checked again there: its access
// list keeps others from swapping it before.
class OpenFolder {
 public:
  // Opens `folder`, made by make_private_folder(). Throws UnsafeFolder or
  // std::filesystem::filesystem_error as that does.
  static OpenFolder open(const std::filesystem::path& folder, std::string_view role);

  OpenFolder(OpenFolder&& other) noexcept;
  OpenFolder& operator=(OpenFolder&& other) noexcept;
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;
  ~OpenFolder();

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  // As create_new_file() (writable_file.hpp), for the entry `name`.
  [[nodiscard]] std::FILE* create_new_file(const std::filesystem::path& name) const;

  // Renames the entry `from` over `to` in one step; on Windows as
  // move_into_place() (whole_file.hpp). Throws std::system_error.
  void rename(const std::filesystem::path& from, const std::filesystem::path& to) const;

  // Removes the entry `name`; a missing one is no error.
  void remove(const std::filesystem::path& name, std::error_code& error) const noexcept;

  // Throws UnsafeFolder when the folder's path no longer leads to this
  // folder: a reader by path would read someone else's file.
  void check_in_place() const;

 private:
  OpenFolder(std::filesystem::path path, std::string role, std::intptr_t native)
      : path_(std::move(path)), role_(std::move(role)), native_(native) {}

  std::filesystem::path path_;
  std::string role_;
  std::intptr_t native_ = -1;  // the descriptor, or the HANDLE
};

}  // namespace tvlib::files
