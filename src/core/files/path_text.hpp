// Paths to and from UTF-8 text, the encoding of every path string in tvlib.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tvlib::files {

// A path from UTF-8 text. A narrow std::string would be read in the ANSI code
// page on Windows, which loses or mangles names such as "Şükrü" or "資料".
std::filesystem::path path_from_utf8(std::string_view text);

// The path as UTF-8 text, for messages and for Python.
std::string utf8_of(const std::filesystem::path& path);

}  // namespace tvlib::files
