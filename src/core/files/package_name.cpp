#include "core/files/package_name.hpp"

#include "core/files/path_text.hpp"

namespace tvlib::files {

namespace {
bool is_separator(char c) { return c == '/' || c == '\\'; }

bool has_drive_prefix(std::string_view text) {
  const auto letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  };
  return text.size() >= 2 && letter(text[0]) && text[1] == ':';
}
}  // namespace

std::string last_component(std::string_view file_path) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < file_path.size(); ++i) {
    if (is_separator(file_path[i])) {
      start = i + 1;
    }
  }
  std::string_view name = file_path.substr(start);
  if (start == 0 && has_drive_prefix(name)) {
    name.remove_prefix(2);
  }
  return std::string(name);
}

bool is_plain_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") {
    return false;
  }
  for (const char c : name) {
    if (is_separator(c) || c == '\0' || c == ':') {
      return false;
    }
  }
  return true;
}

std::filesystem::path entry_of(const std::filesystem::path& folder,
                               std::string_view name) {
  std::filesystem::path entry = folder;
  entry += std::filesystem::path::preferred_separator;
  entry += path_from_utf8(name);
  return entry;
}

}  // namespace tvlib::files
