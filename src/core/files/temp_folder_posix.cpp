#include "core/files/temp_folder.hpp"

namespace tvlib::files {

// TMPDIR, else /tmp: the folder every POSIX tool agrees on.
std::filesystem::path system_temp_folder() {
  return std::filesystem::temp_directory_path();
}

}  // namespace tvlib::files
