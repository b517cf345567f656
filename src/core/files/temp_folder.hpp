// The system temporary folder, as the platform's own lookup reports it.
#pragma once

#include <filesystem>

namespace tvlib::files {

// Throws std::filesystem::filesystem_error when the platform reports none.
std::filesystem::path system_temp_folder();

}  // namespace tvlib::files
