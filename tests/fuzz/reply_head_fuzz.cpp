// Any sequence of header lines makes a head whose names and values are
// trimmed, and that head written out again reads back the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/http/head_collector.hpp"
#include "core/text/ascii_case.hpp"

namespace {

using tvlib::http::Head;
using tvlib::http::detail::HeadCollector;

Head collect(std::string_view lines) {
  HeadCollector collector;
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    const std::size_t length = end == std::string_view::npos ? lines.size() : end + 1;
    collector.add_line(lines.substr(0, length));
    lines.remove_prefix(length);
  }
  return collector.head();
}

bool trimmed(std::string_view text) {
  const auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  };
  return text.empty() || (!blank(text.front()) && !blank(text.back()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Head head =
      collect(std::string_view(reinterpret_cast<const char*>(data), size));
  std::string again = "HTTP/1.1 " + std::to_string(head.status) + " X\r\n";
  for (const auto& header : head.headers) {
    const std::string& name = header.first;
    const std::string& value = header.second;
    if (!trimmed(name) || !trimmed(value) || name.find(':') != std::string::npos ||
        name.find('\n') != std::string::npos || value.find('\n') != std::string::npos) {
      std::abort();
    }
    // A name finds the first header of that name.
    const auto first =
        std::find_if(head.headers.begin(), head.headers.end(), [&](const auto& h) {
          return tvlib::text::same_ignoring_ascii_case(h.first, name);
        });
    if (head.header(name) != first->second) {
      std::abort();
    }
    again += name + ": " + value + "\r\n";
  }
  again += "\r\n";
  // A name that begins "HTTP/" (after a stray CR, say) reads as a status line
  // when written at the start of a line; no real reply carries one.
  const bool writable =
      std::none_of(head.headers.begin(), head.headers.end(),
                   [](const auto& h) { return h.first.starts_with("HTTP/"); });
  const Head reread = collect(again);
  if (writable && (reread.status != head.status || reread.headers != head.headers)) {
    std::abort();
  }
  return 0;
}
