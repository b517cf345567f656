// The proxy the user configured for the system, for requests that no proxy
// variable (http_proxy, https_proxy, all_proxy, no_proxy) governs: part of
// choose_proxy's decision.
#pragma once

#include <curl/curl.h>

#include <optional>
#include <string>
#include <string_view>

namespace tvlib::http::detail {

// The proxy for `url` from a Windows proxy list ("host:port", or entries such
// as "http=host:port;https=host:port", separated by ';' or blanks) and bypass
// list ("<local>;*.corp.example;10.*"), as "scheme://host:port"; nothing when
// the list names none for the URL's scheme or the host is bypassed. Loopback
// hosts are always bypassed, as Windows does.
std::optional<std::string> proxy_from_lists(std::string_view proxy_list,
                                            std::string_view bypass_list,
                                            const std::string& url);

// The Internet settings' proxy for one request.
struct SystemProxy {
  std::string proxy;  // "scheme://host:port"
  // Whether its sign-in is answered with the user's Windows logon (NTLM or
  // Negotiate): only for a proxy from the proxy list, which the user or an
  // administrator's policy set. One named by automatic detection (WPAD) or a
  // configuration script (PAC) is whoever answered on the network, and would
  // be handed a logon exchange it could relay.
  bool sign_in_with_logon = false;
};

// The settings' decision for `url`: what detection or the configuration
// script answered (a proxy, or direct as an empty inner value) when they
// answered, else the proxy list. Nothing: the request goes direct.
std::optional<SystemProxy> choose_system_proxy(
    const std::optional<std::optional<std::string>>& scripted,
    std::string_view proxy_list, std::string_view bypass_list, const std::string& url);

// The system's proxy for `url`: on Windows the user's Internet settings
// (automatic detection, a configuration script, then the manual list),
// elsewhere nothing, since there the variables are the system's setting.
// Nothing as well for a missing or unusable setting: the request goes direct.
// Reads no environment; may wait seconds for automatic detection, so call it
// without the GIL where it can.
std::optional<SystemProxy> system_proxy_for(const std::string& url);

}  // namespace tvlib::http::detail
