#include "core/http/failure.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <initializer_list>
#include <string_view>

#include "core/http/trust.hpp"

namespace tvlib::http::detail {

namespace {

#ifdef _WIN32
constexpr long refused_error = 10061;  // WSAECONNREFUSED
#else
constexpr long refused_error = ECONNREFUSED;
#endif

std::string with_detail(std::string message, const std::string& detail) {
  if (!detail.empty()) {
    message.append(" (").append(detail).append(")");
  }
  return message;
}

// The address actually tried, when it says more than the target does: the
// resolved address of a host name, or the proxy's.
std::string peer_note(const FailedTransfer& failure) {
  if (failure.peer_address.empty() || (failure.peer_address == failure.target.host &&
                                       failure.peer_port == failure.target.port)) {
    return {};
  }
  return " (at " + failure.peer_address + " port " + std::to_string(failure.peer_port) +
         ")";
}

// The server a refused connection was meant for, as libcurl's message names
// it ("Failed to connect to proxy.example port 3128 after 2 ms: ..."): when
// that is not the target, the connection went to a proxy. Nothing when the
// message has another form.
std::optional<Endpoint> proxy_tried(const FailedTransfer& failure) {
  static constexpr std::string_view lead = "connect to ";
  static constexpr std::string_view port_mark = " port ";
  const std::string& detail = failure.detail;
  // libcurl 8 names the server and the proxy's host alone: "Failed to connect
  // to HOST:PORT over proxy PROXYHOST after ...".
  if (failure.proxy && detail.find(" over proxy ") != std::string::npos) {
    return failure.proxy;
  }
  const std::size_t host_at = detail.find(lead);
  if (host_at == std::string::npos) {
    return std::nullopt;
  }
  const std::size_t port_at = detail.find(port_mark, host_at + lead.size());
  if (port_at == std::string::npos) {
    return std::nullopt;
  }
  Endpoint tried{detail.substr(host_at + lead.size(), port_at - host_at - lead.size()),
                 0};
  const char* digits = detail.c_str() + port_at + port_mark.size();
  const auto [end, error] =
      std::from_chars(digits, detail.c_str() + detail.size(), tried.port);
  if (error != std::errc() || end == digits) {
    return std::nullopt;
  }
  std::string target_host = failure.target.host;
  if (target_host.size() > 2 && target_host.front() == '[') {
    target_host = target_host.substr(1, target_host.size() - 2);
  }
  if (tried.host == target_host && tried.port == failure.target.port) {
    return std::nullopt;
  }
  return tried;
}

std::string broken_off_text(const Endpoint& target, std::uint64_t received,
                            const std::optional<std::uint64_t>& announced) {
  std::string text =
      "reply from " + target.text() + " broken off after " + std::to_string(received);
  if (announced) {
    text.append(" of ").append(std::to_string(*announced));
  }
  return text + " bytes";
}

bool mentions_any(const std::string& text,
                  std::initializer_list<std::string_view> marks) {
  return std::ranges::any_of(marks, [&](std::string_view mark) {
    return text.find(mark) != std::string::npos;
  });
}

TransportError certificate_error(const FailedTransfer& failure) {
  // Verification results as OpenSSL numbers them; libcurl reports 1 when its
  // own host name check failed. Schannel reports no number (0): its reason is
  // in the message, as the names of the chain's trust error or SSPI status.
  constexpr long curl_name_check = 1;
  constexpr long not_yet_valid = 9;
  constexpr long expired = 10;
  constexpr long host_mismatch = 62;
  constexpr long address_mismatch = 64;
  const long check = failure.certificate_check;
  const std::string& said = failure.detail;
  const bool wrong_name = check == host_mismatch || check == address_mismatch ||
                          (check <= curl_name_check &&
                           (said.find("name") != std::string::npos ||
                            said.find("SEC_E_WRONG_PRINCIPAL") != std::string::npos));
  const bool untrusted =
      check > curl_name_check ||
      mentions_any(said, {"CERT_TRUST_IS_UNTRUSTED_ROOT", "CERT_TRUST_IS_PARTIAL_CHAIN",
                          "SEC_E_UNTRUSTED_ROOT", "CERT_E_UNTRUSTEDROOT"});
  const bool out_of_date =
      check == expired || check == not_yet_valid ||
      mentions_any(said, {"CERT_TRUST_IS_NOT_TIME_VALID", "SEC_E_CERT_EXPIRED"});
  const std::string subject = "TLS certificate of " + failure.target.text();
  std::string message;
  if (wrong_name) {
    message = with_detail(
        subject + " is not valid for the host name '" + failure.target.host + "'",
        failure.detail);
    message += ": it was made for another host";
  } else if (out_of_date) {
    const char* state = check == not_yet_valid ? " is not valid yet"
                        : check == expired     ? " has expired"
                                               : " is outside its dates of validity";
    message = with_detail(subject + state, failure.detail);
    message += "; check the computer's date and time";
  } else if (untrusted) {
    message = with_detail(subject + " is not trusted", failure.detail);
    // The usual cause in offices: a proxy or security product that
    // inspects HTTPS and signs with its own authority.
    message +=
        "; if a proxy or security software inspects HTTPS here, name its CA "
        "certificate file (PEM) in the environment variable " +
        std::string(extra_ca_variable);
  } else {
    message = with_detail(subject + " could not be verified", failure.detail);
  }
  return {FailureKind::connect_failed, message};
}

TransportError failure_while_connecting(const FailedTransfer& failure) {
  const std::string where = failure.target.text();
  constexpr long authentication_required = 407;
  if (failure.proxy_status == authentication_required) {
    // Whoever gave a name and password needs to hear that those were refused,
    // not to be asked for them again.
    // A variable is named as it is; the system's settings hold no password.
    const bool variable = !failure.proxy_source.empty() &&
                          failure.proxy_source.find(' ') == std::string::npos;
    const std::string setting = variable ? failure.proxy_source : "https_proxy";
    const std::string intro =
        "(407 Proxy Authentication Required) before it opens a tunnel to " + where;
    if (failure.proxy_logon) {
      return {FailureKind::connect_failed,
              "the proxy refused the Windows logon " + intro +
                  "; have the proxy allow " + where +
                  ", or give a proxy user name and password in https_proxy"};
    }
    if (failure.proxy_signed_in) {
      return {FailureKind::connect_failed,
              "the proxy refused the sign-in given in " + setting + " " + intro +
                  "; check the proxy user name and password there, or have the "
                  "proxy allow " +
                  where};
    }
    return {FailureKind::connect_failed,
            "the proxy asks for authentication " + intro +
                "; add the proxy user name and password to the proxy setting (" +
                setting + "), or have the proxy allow " + where};
  }
  if (failure.proxy_status >= 300) {
    return {FailureKind::connect_failed,
            "the proxy refused the tunnel to " + where + " (it answered " +
                std::to_string(failure.proxy_status) + ")"};
  }
  return {FailureKind::connect_failed,
          with_detail("connection to " + where + " broken off while it was set up",
                      failure.detail)};
}

TransportError failure_while_receiving(const FailedTransfer& failure) {
  const std::string where = failure.target.text();
  std::string message;
  switch (failure.code) {
    case CURLE_PARTIAL_FILE:
      return {FailureKind::other, broken_off_text(failure.target, failure.body_received,
                                                  failure.body_announced)};
    case CURLE_GOT_NOTHING:
      message = where + " closed the connection without replying";
      break;
    case CURLE_SEND_ERROR:
      message = "connection to " + where + " broken off while sending the request";
      break;
    default:
      if (failure.body_announced && failure.body_received < *failure.body_announced) {
        message = broken_off_text(failure.target, failure.body_received,
                                  failure.body_announced);
      } else {
        message = "connection to " + where + " broken off while receiving the reply";
      }
  }
  // A connection dropped before any reply is a failure of the connection,
  // as a refused one is; once a reply has begun, it is a broken reply.
  return {failure.replied ? FailureKind::other : FailureKind::connect_failed,
          with_detail(message, failure.detail)};
}

}  // namespace

std::string seconds_text(std::chrono::milliseconds duration) {
  const auto count = duration.count();
  if (count == 1000) {
    return "1 second";
  }
  std::string text = std::to_string(count / 1000);
  if (const auto fraction = count % 1000; fraction != 0) {
    std::string digits = std::to_string(1000 + fraction).substr(1);
    while (digits.back() == '0') {
      digits.pop_back();
    }
    text.append(".").append(digits);
  }
  return text + " seconds";
}

TransportError read_timeout_error(const Endpoint& target,
                                  std::chrono::milliseconds limit) {
  return {FailureKind::read_timeout,
          "no data received from " + target.text() + " for " + seconds_text(limit)};
}

TransportError cut_short_error(const Endpoint& target, std::uint64_t received,
                               std::uint64_t announced) {
  return {FailureKind::other, broken_off_text(target, received, announced)};
}

TransportError head_too_large_error(const Endpoint& target, std::size_t limit) {
  return {FailureKind::other, "the reply from " + target.text() +
                                  " has headers larger than " + std::to_string(limit) +
                                  " bytes"};
}

TransportError redirect_refused_error(const Endpoint& from, const Origin& to) {
  std::string message = "redirect from " + from.text() + " refused: ";
  if (to.scheme == "http") {
    message += "it leads to plain HTTP at " + to.endpoint.text() +
               ", and requests go over HTTPS only";
  } else if (to.scheme != "https") {
    message +=
        "it leads to a " + to.scheme + ": address, and requests go over HTTPS only";
  } else {
    message += "it leads to another server, " + to.endpoint.text() +
               ", and requests stay with the server they were sent to";
  }
  return {FailureKind::other, message};
}

TransportError deadline_error(const Endpoint& target, std::chrono::milliseconds limit,
                              bool head_only, bool connected) {
  const std::string what = head_only ? "no reply from " : "no complete reply from ";
  return {connected ? FailureKind::read_timeout : FailureKind::connect_timeout,
          what + target.text() + " within " + seconds_text(limit) +
              " (the limit for the whole request)"};
}

TransportError unannounced_body_too_large_error(const Endpoint& target,
                                                std::uint64_t limit) {
  return {FailureKind::other,
          "the reply from " + target.text() + " announces no length and goes on past " +
              std::to_string(limit) + " bytes; it was stopped there"};
}

TransportError announced_body_too_large_error(const Endpoint& target,
                                              std::uint64_t announced,
                                              std::uint64_t limit) {
  return {FailureKind::other,
          "the reply from " + target.text() + " announces " +
              std::to_string(announced) + " bytes, more than the limit of " +
              std::to_string(limit) + " bytes; nothing of it was taken"};
}

TransportError slow_body_error(const Endpoint& target, std::uint64_t rate,
                               std::chrono::milliseconds period,
                               std::uint64_t received) {
  return {FailureKind::read_timeout,
          target.text() + " sends its reply slower than " + std::to_string(rate) +
              " bytes per second over " + seconds_text(period) + " (" +
              std::to_string(received) + " bytes in the last " + seconds_text(period) +
              "); the transfer was stopped"};
}

TransportError classify(const FailedTransfer& failure) {
  const std::string where = failure.target.text();
  if (!failure.connected && failure.proxy_status >= 300) {
    return failure_while_connecting(failure);
  }
  switch (failure.code) {
    case CURLE_OPERATION_TIMEDOUT:
      if (failure.connected) {
        return {FailureKind::read_timeout,
                with_detail("no data received from " + where, failure.detail)};
      }
      return {FailureKind::connect_timeout, "connection to " + where +
                                                " not established within " +
                                                seconds_text(failure.connect_timeout)};
    case CURLE_COULDNT_CONNECT:
      if (const auto proxy = proxy_tried(failure);
          proxy && failure.os_error == refused_error) {
        return {FailureKind::connect_failed, "connection refused by the proxy at " +
                                                 proxy->text() + " (the proxy for " +
                                                 where + ")"};
      }
      if (failure.os_error == refused_error) {
        return {FailureKind::connect_failed,
                "connection refused by " + where + peer_note(failure)};
      }
      return {FailureKind::connect_failed,
              with_detail("could not connect to " + where + peer_note(failure),
                          failure.detail)};
    case CURLE_COULDNT_RESOLVE_HOST:
      return {FailureKind::connect_failed,
              "could not resolve the host name '" + failure.target.host +
                  "': no network connection, or no such name"};
    case CURLE_COULDNT_RESOLVE_PROXY:
      return {FailureKind::connect_failed,
              with_detail("could not resolve the proxy's host name", failure.detail)};
    case CURLE_PROXY:
      return {FailureKind::connect_failed,
              with_detail("the proxy could not reach " + where, failure.detail)};
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return certificate_error(failure);
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
      return {FailureKind::connect_failed,
              with_detail("the trusted certificate authorities could not be loaded",
                          failure.detail)};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
      return {FailureKind::connect_failed,
              with_detail("TLS handshake with " + where + " failed", failure.detail)};
    case CURLE_TOO_MANY_REDIRECTS:
      return {FailureKind::other, "too many redirects, the last one to " + where};
    case CURLE_PARTIAL_FILE:
      return failure_while_receiving(failure);
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
      return failure.connected ? failure_while_receiving(failure)
                               : failure_while_connecting(failure);
    default:
      return {FailureKind::other, with_detail("request to " + where + " failed: " +
                                                  curl_easy_strerror(failure.code),
                                              failure.detail)};
  }
}

}  // namespace tvlib::http::detail
