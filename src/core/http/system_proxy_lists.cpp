// The Windows proxy lists read by portable code, so that they are tested on
// every platform; only the calls that fetch them are Windows-only.
#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>
#include <vector>

#include "core/http/system_proxy.hpp"

namespace tvlib::http::detail {

namespace {

std::vector<std::string_view> entries(std::string_view list) {
  std::vector<std::string_view> found;
  while (!list.empty()) {
    const std::size_t end = list.find_first_of("; \t\r\n");
    const std::string_view entry = list.substr(0, end);
    if (!entry.empty()) {
      found.push_back(entry);
    }
    if (end == std::string_view::npos) {
      break;
    }
    list.remove_prefix(end + 1);
  }
  return found;
}

char lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Case-insensitive match with '*' for any run of characters.
bool matches(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) {
    return text.empty();
  }
  if (pattern.front() == '*') {
    for (std::size_t skip = 0; skip <= text.size(); ++skip) {
      if (matches(pattern.substr(1), text.substr(skip))) {
        return true;
      }
    }
    return false;
  }
  return !text.empty() && lower(pattern.front()) == lower(text.front()) &&
         matches(pattern.substr(1), text.substr(1));
}

bool bypassed(std::string_view bypass_list, std::string_view host) {
  if (host == "localhost" || host == "::1" || host == "[::1]" ||
      host.starts_with("127.")) {
    return true;
  }
  return std::ranges::any_of(entries(bypass_list), [host](std::string_view entry) {
    if (entry == "<local>") {  // intranet names, written without a dot
      return host.find_first_of(".:") == std::string_view::npos;
    }
    if (const std::size_t scheme_end = entry.find("://");
        scheme_end != std::string_view::npos) {
      entry.remove_prefix(scheme_end + 3);
    }
    return matches(entry, host);
  });
}

struct UrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

std::optional<std::string> url_part(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) {
    return std::nullopt;
  }
  std::string copy(text);
  curl_free(text);
  return copy;
}

}  // namespace

std::optional<std::string> proxy_from_lists(std::string_view proxy_list,
                                            std::string_view bypass_list,
                                            const std::string& url) {
  const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed ||
      curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  const std::optional<std::string> scheme = url_part(parsed.get(), CURLUPART_SCHEME);
  const std::optional<std::string> host = url_part(parsed.get(), CURLUPART_HOST);
  if (!scheme || !host || bypassed(bypass_list, *host)) {
    return std::nullopt;
  }
  // An entry for the URL's scheme wins over one for every scheme.
  std::optional<std::string_view> chosen;
  for (const std::string_view entry : entries(proxy_list)) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      chosen = chosen.value_or(entry);
    } else if (matches(entry.substr(0, equals), *scheme)) {
      chosen = entry.substr(equals + 1);
      break;
    }
  }
  if (!chosen || chosen->empty()) {
    return std::nullopt;
  }
  // Windows proxies speak plain HTTP to the client unless a scheme says else.
  std::string proxy(*chosen);
  return proxy.find("://") == std::string::npos ? "http://" + proxy : proxy;
}

std::optional<SystemProxy> choose_system_proxy(
    const std::optional<std::optional<std::string>>& scripted,
    std::string_view proxy_list, std::string_view bypass_list, const std::string& url) {
  if (scripted) {
    if (!*scripted) {
      return std::nullopt;
    }
    return SystemProxy{**scripted, false};
  }
  if (std::optional<std::string> listed =
          proxy_from_lists(proxy_list, bypass_list, url)) {
    return SystemProxy{std::move(*listed), true};
  }
  return std::nullopt;
}

}  // namespace tvlib::http::detail
