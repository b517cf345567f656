// Builds the Head of the final reply from the header lines libcurl hands over.
#pragma once

#include <string_view>

#include "core/http/client.hpp"

namespace tvlib::http::detail {

class HeadCollector {
 public:
  // One line as delivered, line break included. A status line starts a new
  // head, so interim (1xx) replies and redirect replies leave nothing behind;
  // lines after the end of a head (chunked trailers) are not part of it.
  void add_line(std::string_view line);

  [[nodiscard]] const Head& head() const noexcept { return head_; }

 private:
  Head head_;
  bool ended_ = false;
};

// Case-insensitive comparison of ASCII header names.
bool same_name(std::string_view a, std::string_view b) noexcept;

}  // namespace tvlib::http::detail
