// Download percentage.
#pragma once

#include <climits>
#include <cstdint>

namespace tvlib::download {

// (downloaded / total) * 100 in double precision, division first, truncated
// toward zero; 29 of 100 bytes gives 28. Not clamped at 100: a body longer
// than announced shows more. Saturates at INT_MAX so the value always fits
// the int the progress signal carries. `total` must be greater than 0.
inline int percentage(std::uint64_t downloaded, std::uint64_t total) {
  const double pct =
      (static_cast<double>(downloaded) / static_cast<double>(total)) * 100.0;
  if (pct >= static_cast<double>(INT_MAX)) {
    return INT_MAX;
  }
  return static_cast<int>(pct);
}

}  // namespace tvlib::download
