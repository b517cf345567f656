// The system temporary folder, as the platform's own lookup reports it.
#pragma once

#include <filesystem>

namespace tvlib::files {

// Reads the environment (TMPDIR, TMP, TEMP): call it with the caller's lock
// on the environment held (the GIL in our modules). Throws
// std::filesystem::filesystem_error when the platform reports none.
std::filesystem::path system_temp_folder();

}  // namespace tvlib::files
