// Names compared without case, as HTTP compares header names and Windows
// file names: ASCII letters only, whatever the locale.
#pragma once

#include <algorithm>
#include <string_view>

namespace tvlib::text {

constexpr char ascii_lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool same_ignoring_ascii_case(std::string_view a,
                                        std::string_view b) noexcept {
  return std::ranges::equal(a, b, {}, ascii_lower, ascii_lower);
}

}  // namespace tvlib::text
