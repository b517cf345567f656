// Certificates for the test servers, made in memory when the suite starts.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <string>

namespace tvlib::test {

struct Identity {
  std::shared_ptr<X509> cert;
  std::shared_ptr<EVP_PKEY> key;
};

class Authority {
 public:
  explicit Authority(const std::string& name);
  // A server certificate for the given subjectAltName, e.g. "IP:127.0.0.1".
  [[nodiscard]] Identity issue(const std::string& alt_names) const;
  [[nodiscard]] std::string pem() const;

 private:
  Identity self_;
};

struct Pki {
  Authority trusted{"tvlib test CA"};
  Authority stranger{"tvlib stranger CA"};
  Identity server = trusted.issue("IP:127.0.0.1,DNS:localhost");
  Identity wrong_name = trusted.issue("DNS:elsewhere.test");
  Identity untrusted = stranger.issue("IP:127.0.0.1,DNS:localhost");
};

const Pki& pki();

// Writes the trusted CA to a PEM file, which ca_bundle() names from then on.
std::filesystem::path install_ca_bundle();
// The file of install_ca_bundle() as UTF-8 text, for Request::ca_bundle.
const std::string& ca_bundle();

}  // namespace tvlib::test
