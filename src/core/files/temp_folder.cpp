#include "core/files/temp_folder.hpp"

namespace tvlib::files {

std::filesystem::path system_temp_folder() {
  return std::filesystem::temp_directory_path();
}

}  // namespace tvlib::files
