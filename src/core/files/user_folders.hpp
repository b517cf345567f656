// Per-user folders of the platform.
#pragma once

#include <filesystem>

namespace tvlib::files {

// Where the plug-in keeps per-user settings: the roaming application-data
// folder on Windows, the XDG configuration folder elsewhere; a folder named
// for the plug-in inside it. Throws std::runtime_error when the platform
// tells no such folder.
std::filesystem::path plugin_config_folder();

}  // namespace tvlib::files
