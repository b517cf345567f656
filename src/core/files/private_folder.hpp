// A folder of the user's own inside a folder others may share (the system
// temporary folder), which no one else can plant files in or swap.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace tvlib::files {

// The folder is there but someone else could change what is in it.
class UnsafeFolder : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `folder`, created with its missing parents when it is not there; a new
// folder is readable, writable and searchable by its owner only. On POSIX an
// existing one must be a real folder (not a symbolic link) owned by the
// effective user and not writable by group or others; on Windows it must not
// be a reparse point (a junction or a symbolic link). Throws UnsafeFolder
// ("the <role> <folder> is refused: " and which of these fails),
// std::filesystem::filesystem_error when it cannot be created or looked at.
void make_private_folder(const std::filesystem::path& folder, std::string_view role);

}  // namespace tvlib::files
