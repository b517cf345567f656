// support_report(): what a support engineer asks first, printed in the host's
// script console. Names files and addresses, never an account's contents, a
// token or a proxy's credentials.
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "binding/native_signal.hpp"
#include "binding/python_text.hpp"
#include "core/http/client.hpp"
#include "core/http/transport_facts.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace fs = std::filesystem;

namespace {

std::string qt_line() {
  const binding::QtBinding& qt = client().env.qt;
  const std::string version =
      binding::text_of(py::module_::import(qt.name.c_str()).attr("__version__"));
  return qt.name + " " + version + " (Qt " +
         binding::text_of(qt.core.attr("qVersion")()) + ")";
}

// Whether a download's progress signals can bypass Python (see
// binding::NativeSignal); a host whose Qt hides the entry point, or is not
// a release it is used with, gets the slower path.
std::string signals_line() {
  return binding::NativeSignal::reachable(client().env.qt)
             ? "emitted through Qt directly"
             : "emitted through Python (Qt's QMetaObject::activate not found, or not "
               "used with this Qt)";
}

std::string trust_line(const http::TransportFacts& facts) {
  std::string line = "system: " + facts.system_trust;
  if (facts.extra_bundle) {
    line += "; extra bundle: " + *facts.extra_bundle;
    if (facts.extra_bundle_exposure) {
      line += " (refused: another user could change it, as " +
              *facts.extra_bundle_exposure + ")";
    } else if (!facts.extra_bundle_readable) {
      line += " (cannot be read)";
    }
  } else {
    line += "; no extra bundle";
  }
  return line;
}

std::string proxy_line(const http::TransportFacts& facts) {
  if (facts.proxy) {
    return *facts.proxy + " (from " + facts.proxy_source + ")";
  }
  return "none, direct (" + facts.proxy_source + ")";
}

std::string account_line() {
  const auto path = py::module_::import("tvlib")
                        .attr("tvcore")
                        .attr("_account_file")()
                        .cast<fs::path>();
  std::error_code error;
  const bool exists = fs::exists(path, error);
  const std::string shown = binding::text_of(py::cast(path));
  if (error) {
    // Not there is one answer; could not look (access denied) is another.
    return shown + " (could not be checked: " + error.message() + ")";
  }
  return shown + (exists ? " (exists)" : " (missing)");
}

std::string health_line() {
  try {
    const long status = health_status();
    return (status == 200 ? "OK, status " : "not OK, status ") + std::to_string(status);
  } catch (const http::TransportError& e) {
    return std::string("failed: ") + e.what();
  } catch (py::error_already_set& e) {
    return "failed: " + binding::message_of(e);
  }
}

}  // namespace

void support_report() {
  const std::string base =
      http::detail::without_credentials(binding::text_of(client().baur()));
  const http::TransportFacts facts = http::transport_facts(base);
  const auto sys = py::module_::import("sys");
  const std::pair<const char*, std::string> lines[] = {
      {"Python", binding::text_of(sys.attr("version"))
                     .substr(0, binding::text_of(sys.attr("version")).find('\n'))},
      {"Qt for Python", qt_line()},
      {"Progress", signals_line()},
      {"libcurl", facts.curl_version + ", TLS " + facts.tls_backend},
      {"Base address", base},
      {"Trust", trust_line(facts)},
      {"Proxy", proxy_line(facts)},
      {"Account file", account_line()},
      {"Health check", health_line()},
  };
  binding::print_line("Kolvaren support report");
  for (const auto& [label, value] : lines) {
    std::string padded = std::string(label) + ":";
    padded.resize(15, ' ');
    binding::print_line("  " + padded + value);
  }
}

}  // namespace tvlib::tvupd
