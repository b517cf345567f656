// Which proxy a request takes: decided once, from the proxy variables read
// with the GIL held, and handed to libcurl whole, so that libcurl reads no
// environment on a thread of ours and the support report names the very
// proxy the requests use.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tvlib::http {

// The proxy variables of the environment that are set and not empty (libcurl
// takes an empty one for unset), as name and value.
struct ProxyVariables {
  std::vector<std::pair<std::string, std::string>> set;

  [[nodiscard]] std::optional<std::string> value(std::string_view name) const;
};

// Reads http_proxy, https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY, no_proxy
// and NO_PROXY through environment_value: call it with the GIL held in the
// modules, which write the environment through os.environ.
ProxyVariables proxy_variables();

struct ProxyChoice {
  // The proxy's URL as given, credentials included (libcurl signs in with
  // them, Basic); empty: direct.
  std::string proxy;
  // What decided: the variable that named the proxy or the host ("https_proxy",
  // "no_proxy"), "the system's Internet settings", or empty when nothing is set.
  std::string source;
  bool bypassed = false;  // `source` is a no_proxy list that names the host
  // Whether the proxy's sign-in is answered with the Windows logon (see
  // SystemProxy).
  bool sign_in_with_logon = false;
};

// libcurl's rules, read by us: no_proxy (or, when that is unset, NO_PROXY)
// naming the host means direct; else the scheme's variable (http_proxy in
// lower case only; https_proxy, then HTTPS_PROXY), else all_proxy, then
// ALL_PROXY. With no variable set at all, the system's setting
// (system_proxy_for). A no_proxy list is "*" for every host, or entries
// separated by commas or blanks: a name names itself and the names under it
// (a leading or trailing dot ignored), an address names itself, and an
// address with "/bits" the addresses of that range.
ProxyChoice choose_proxy(const ProxyVariables& variables, const std::string& url);

namespace detail {

// Whether the no_proxy `list` names `host` (a name, an IPv4 address, or an
// IPv6 address with or without brackets), as choose_proxy reads it.
bool no_proxy_names(std::string_view list, std::string host);

}  // namespace detail

}  // namespace tvlib::http
