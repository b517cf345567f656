#include "core/files/writable_file.hpp"

namespace tvlib::files {

// POSIX has no share modes; "e" keeps the descriptor out of child processes.
std::FILE* open_for_writing(const std::filesystem::path& path) {
  return std::fopen(path.c_str(), "wbe");
}

}  // namespace tvlib::files
