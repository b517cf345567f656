#include "test_pki.hpp"

#include <openssl/bio.h>
#include <openssl/ecdsa.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/files/path_text.hpp"
#include "test_environment.hpp"

namespace tvlib::test {

namespace {

void require(bool ok, const char* what) {
  if (!ok) {
    throw std::runtime_error(std::string("OpenSSL failed to ") + what);
  }
}

std::shared_ptr<EVP_PKEY> new_key() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  require(key != nullptr, "make a key");
  return {key, EVP_PKEY_free};
}

// Whether both integers of a P-256 signature take their full 32 bytes. Wine's
// certificate chain check (the Windows lane) rejects a signature whose r or s
// is shorter, about one in 128, as not valid: every TLS case of that run
// failed. Signing is randomised, so signing again gives other integers.
bool full_length_signature(const X509* cert) {
  const ASN1_BIT_STRING* signature = nullptr;
  X509_get0_signature(&signature, nullptr, cert);
  const unsigned char* der = signature->data;
  const std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> parsed(
      d2i_ECDSA_SIG(nullptr, &der, signature->length), ECDSA_SIG_free);
  require(parsed != nullptr, "read a signature");
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(parsed.get(), &r, &s);
  return BN_num_bytes(r) == 32 && BN_num_bytes(s) == 32;
}

// Signs a certificate for `key`; self-signed when no issuer is given.
std::shared_ptr<X509> make_cert(
    const std::string& name, EVP_PKEY* key, const Identity* issuer,
    const std::vector<std::pair<int, std::string>>& extensions) {
  static long serial = 1000;
  std::shared_ptr<X509> cert(X509_new(), X509_free);
  X509* raw = cert.get();
  require(raw != nullptr && X509_set_version(raw, 2) == 1, "start a certificate");
  ASN1_INTEGER_set(X509_get_serialNumber(raw), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(raw), -3600);
  X509_gmtime_adj(X509_getm_notAfter(raw), 24L * 3600);
  X509_NAME* subject = X509_get_subject_name(raw);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1,
                             -1, 0);
  X509* signer = issuer != nullptr ? issuer->cert.get() : raw;
  X509_set_issuer_name(raw, X509_get_subject_name(signer));
  X509_set_pubkey(raw, key);
  for (const auto& [nid, value] : extensions) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, signer, raw, nullptr, nullptr, 0);
    X509_EXTENSION* extension =
        X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    require(extension != nullptr && X509_add_ext(raw, extension, -1) == 1,
            "add an extension");
    X509_EXTENSION_free(extension);
  }
  EVP_PKEY* signing_key = issuer != nullptr ? issuer->key.get() : key;
  do {
    require(X509_sign(raw, signing_key, EVP_sha256()) > 0, "sign a certificate");
  } while (!full_length_signature(raw));
  return cert;
}

}  // namespace

Authority::Authority(const std::string& name) {
  self_.key = new_key();
  self_.cert = make_cert(name, self_.key.get(), nullptr,
                         {{NID_basic_constraints, "critical,CA:TRUE"},
                          {NID_key_usage, "critical,keyCertSign,cRLSign"},
                          {NID_subject_key_identifier, "hash"}});
}

Identity Authority::issue(const std::string& alt_names) const {
  Identity server;
  server.key = new_key();
  server.cert = make_cert("tvlib test server", server.key.get(), &self_,
                          {{NID_basic_constraints, "critical,CA:FALSE"},
                           {NID_key_usage, "critical,digitalSignature"},
                           {NID_ext_key_usage, "serverAuth"},
                           {NID_subject_alt_name, alt_names},
                           {NID_subject_key_identifier, "hash"},
                           {NID_authority_key_identifier, "keyid:always"}});
  return server;
}

std::string Authority::pem() const {
  const std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
  require(out && PEM_write_bio_X509(out.get(), self_.cert.get()) == 1, "write PEM");
  char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return {data, static_cast<std::size_t>(size)};
}

const Pki& pki() {
  static const Pki instance;
  return instance;
}

namespace {
std::string installed_bundle;  // set once in main, before any test
}  // namespace

std::filesystem::path install_ca_bundle() {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("tvlib-test-ca-" + std::to_string(process_id()) + ".pem");
  std::ofstream(path, std::ios::binary) << pki().trusted.pem();
  installed_bundle = files::utf8_of(path);
  return path;
}

const std::string& ca_bundle() { return installed_bundle; }

}  // namespace tvlib::test
