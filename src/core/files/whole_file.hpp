// Small files read and replaced as a whole (the account record), and the
// temporary files that make a replacement safe against a crash.
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

// A name beside `path`, "<name>.tmp-<pid>-<n>", that no other writer in this
// or another process uses at the same time; `n` is random, so nobody can
// tell the name before it is made.
std::filesystem::path temporary_sibling(const std::filesystem::path& path);

// Renames `from` over `to` in the same folder, replacing any file there in one
// step. On Windows a few short retries ride out a scanner that holds the old
// file. Throws std::system_error; `from` is left in place then.
void move_into_place(const std::filesystem::path& from,
                     const std::filesystem::path& to);

// Removes temporary siblings of `path` that a killed writer left behind: those
// whose process no longer runs, and any older than a day (no save or download
// takes that long). A living writer's file is never touched. Best effort: a
// file that cannot be removed stays for the next time.
void remove_stale_temporaries(const std::filesystem::path& path);

}  // namespace tvlib::files
