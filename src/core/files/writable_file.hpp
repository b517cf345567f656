// Creating a file for writing the way each platform's readers expect.
#pragma once

#include <cstdio>
#include <filesystem>

namespace tvlib::files {

// Creates `path` for binary writing. Never opens what is already there, a
// symbolic link included, so a name planted in a shared folder cannot send
// the bytes elsewhere. Others may read the file while it is written (on POSIX
// only when its folder lets them: the file is the owner's alone, mode 0600),
// nobody else may write it, and processes started meanwhile do not inherit
// it. Throws std::system_error with the system's code.
std::FILE* create_new_file(const std::filesystem::path& path);

}  // namespace tvlib::files
