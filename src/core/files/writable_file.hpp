// Opening a file for writing the way each platform's readers expect.
#pragma once

#include <cstdio>
#include <filesystem>

namespace tvlib::files {

// Creates or truncates `path` for binary writing; nullptr with errno set on
// failure. Others may read the file while it is written, nobody else may
// write it, and processes started meanwhile do not inherit it.
std::FILE* open_for_writing(const std::filesystem::path& path);

}  // namespace tvlib::files
