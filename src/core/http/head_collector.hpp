// Builds the Head of the final reply from the header lines libcurl hands over.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/http/client.hpp"

namespace tvlib::http::detail {

class HeadCollector {
 public:
  // One line as delivered, line break included. A status line starts a new
  // head, so interim (1xx) replies and redirect replies leave nothing behind;
  // lines after the end of a head (chunked trailers) are not part of it.
  // A head that grows past max_head_size is dropped and marked oversized.
  void add_line(std::string_view line);

  [[nodiscard]] const Head& head() const noexcept { return head_; }
  [[nodiscard]] bool oversized() const noexcept { return oversized_; }
  // The empty line that ends the current head has arrived.
  [[nodiscard]] bool ended() const noexcept { return ended_; }

 private:
  Head head_;
  std::size_t head_size_ = 0;
  bool ended_ = false;
  bool oversized_ = false;
};

// The service's heads are a few hundred bytes. A larger one is no answer of
// a server we talk to, and keeping it would only cost memory.
inline constexpr std::size_t max_head_size = 64 * std::size_t{1024};

}  // namespace tvlib::http::detail
