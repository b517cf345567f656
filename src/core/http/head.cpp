#include <charconv>
#include <string>

#include "core/http/client.hpp"
#include "core/http/head_collector.hpp"
#include "core/text/ascii_case.hpp"

namespace tvlib::http {

namespace {

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// "HTTP/1.1 200 OK" or "HTTP/2 200": the three digits after the first space.
long status_of(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) {
    return 0;
  }
  const std::string_view rest = trim(line.substr(space + 1));
  long status = 0;
  if (std::from_chars(rest.data(), rest.data() + rest.size(), status).ec !=
      std::errc()) {
    return 0;
  }
  return status;
}

}  // namespace

std::optional<std::string> Head::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (text::same_ignoring_ascii_case(key, name)) {
      return value;
    }
  }
  return std::nullopt;
}

namespace detail {

void HeadCollector::add_line(std::string_view line) {
  if (line.starts_with("HTTP/")) {
    head_ = Head{};
    head_.status = status_of(trim(line));
    head_size_ = line.size();
    ended_ = false;
    return;
  }
  if (ended_ || oversized_) {
    return;
  }
  head_size_ += line.size();
  if (head_size_ > max_head_size) {
    head_ = Head{};
    oversized_ = true;
    return;
  }
  const bool folded = line.starts_with(' ') || line.starts_with('\t');
  line = trim(line);
  if (line.empty()) {
    ended_ = true;
    return;
  }
  if (folded) {
    // An obsolete continuation line belongs to the previous header's value.
    // An empty value takes the line as it is, without a leading blank.
    if (!head_.headers.empty()) {
      std::string& value = head_.headers.back().second;
      value.append(value.empty() ? "" : " ").append(line);
    }
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    return;
  }
  head_.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                             std::string(trim(line.substr(colon + 1))));
}

}  // namespace detail
}  // namespace tvlib::http
