#include "core/http/failure.hpp"

#include <cerrno>

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

std::string broken_off_text(const Endpoint& target, std::uint64_t received,
                            const std::optional<std::uint64_t>& announced) {
  std::string text =
      "reply from " + target.text() + " broken off after " + std::to_string(received);
  if (announced) {
    text.append(" of ").append(std::to_string(*announced));
  }
  return text + " bytes";
}

TransportError certificate_error(const FailedTransfer& failure) {
  // Verification results as OpenSSL numbers them; libcurl reports 1 when its
  // own host name check failed, and other TLS backends report nothing.
  constexpr long curl_name_check = 1;
  constexpr long host_mismatch = 62;
  constexpr long address_mismatch = 64;
  const long check = failure.certificate_check;
  const bool wrong_name =
      check == host_mismatch || check == address_mismatch ||
      (check <= curl_name_check && failure.detail.find("name") != std::string::npos);
  const std::string subject = "TLS certificate of " + failure.target.text();
  std::string message;
  if (wrong_name) {
    message = subject + " is not valid for the host name '" + failure.target.host + "'";
  } else if (check > curl_name_check) {
    message = subject + " is not trusted";
  } else {
    message = subject + " could not be verified";
  }
  return {FailureKind::connect_failed, with_detail(message, failure.detail)};
}

TransportError failure_while_connecting(const FailedTransfer& failure) {
  const std::string where = failure.target.text();
  if (failure.proxy_status >= 300) {
    return {FailureKind::connect_failed,
            "the proxy answered " + std::to_string(failure.proxy_status) +
                " to the request for a tunnel to " + where};
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
  return {FailureKind::other, with_detail(message, failure.detail)};
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
      if (failure.os_error == refused_error) {
        return {FailureKind::connect_failed,
                "connection refused by " + where + peer_note(failure)};
      }
      return {FailureKind::connect_failed,
              with_detail("could not connect to " + where + peer_note(failure),
                          failure.detail)};
    case CURLE_COULDNT_RESOLVE_HOST:
      return {FailureKind::connect_failed,
              "could not resolve host name '" + failure.target.host + "'"};
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
