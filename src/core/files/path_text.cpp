#include "core/files/path_text.hpp"

#include <algorithm>

namespace tvlib::files {

std::filesystem::path path_from_utf8(std::string_view text) {
  std::u8string utf8(text.size(), u8'\0');
  std::ranges::transform(text, utf8.begin(),
                         [](char c) { return static_cast<char8_t>(c); });
  return {utf8};
}

std::string utf8_of(const std::filesystem::path& path) {
  const std::u8string utf8 = path.u8string();
  std::string text(utf8.size(), '\0');
  std::ranges::transform(utf8, text.begin(),
                         [](char8_t c) { return static_cast<char>(c); });
  return text;
}

}  // namespace tvlib::files
