#include "core/files/package_name.hpp"

#include "core/files/path_text.hpp"
#include "core/text/ascii_case.hpp"

namespace tvlib::files {

namespace {
bool is_separator(char c) { return c == '/' || c == '\\'; }

bool has_drive_prefix(std::string_view text) {
  const auto letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  };
  return text.size() >= 2 && letter(text[0]) && text[1] == ':';
}

using text::same_ignoring_ascii_case;

// Windows reads a device name in the part before the first dot, with the
// spaces before that dot dropped: "nul.ms" and "COM1 .txt" are devices too.
bool is_device_name(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') {
    stem.remove_suffix(1);
  }
  for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
    if (same_ignoring_ascii_case(stem, device)) {
      return true;
    }
  }
  if (stem.size() < 4 || !(same_ignoring_ascii_case(stem.substr(0, 3), "com") ||
                           same_ignoring_ascii_case(stem.substr(0, 3), "lpt"))) {
    return false;
  }
  const std::string_view number = stem.substr(3);
  // The superscript digits 1, 2 and 3 in UTF-8.
  return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') ||
         number == "\xc2\xb9" || number == "\xc2\xb2" || number == "\xc2\xb3";
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

std::string package_name_fault(std::string_view name) {
  std::string quoted(1, '\'');
  quoted.append(name).push_back('\'');
  if (!is_plain_file_name(name)) {
    return quoted + " is not a file name";
  }
  if (same_ignoring_ascii_case(name, "update.ini")) {
    return quoted + " is the name of the update record kept beside the package";
  }
  if (is_device_name(name)) {
    return quoted + " is a device name on Windows, not a file name";
  }
  if (name.back() == '.' || name.back() == ' ') {
    return quoted + " ends in a " + (name.back() == '.' ? "dot" : "space") +
           ", which Windows drops from file names";
  }
  return {};
}

std::filesystem::path entry_of(const std::filesystem::path& folder,
                               std::string_view name) {
  std::filesystem::path entry = folder;
  entry += std::filesystem::path::preferred_separator;
  entry += path_from_utf8(name);
  return entry;
}

}  // namespace tvlib::files
