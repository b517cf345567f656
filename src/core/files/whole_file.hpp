// Small files read and replaced as a whole (the account record).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tvlib::files {

// The file's bytes, or nothing when it does not exist.
// Throws std::system_error for any other failure.
std::optional<std::string> read_whole_file(const std::filesystem::path& path);

// Replaces the file with `bytes` so that a crash at any moment leaves either
// the old or the new content: the bytes go to a temporary file in the same
// folder, are flushed to disk, and the temporary file is renamed over the old
// one. Missing parent folders are created. On POSIX the file is readable and
// writable by its owner only. Throws std::system_error.
void replace_whole_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace tvlib::files
