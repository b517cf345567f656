// SHA-256 through OpenSSL's libcrypto, which libcurl's TLS has loaded already.
// Its assembler code uses the CPU's SHA extensions where there are any, several
// times as fast as portable code: the package is hashed while it streams.
#include <openssl/evp.h>

#include <stdexcept>

#include "core/integrity/signature.hpp"

namespace tvlib::integrity {

struct Sha256::State {
  struct Free {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> context{EVP_MD_CTX_new()};
};

namespace {

void check(int result, const char* step) {
  if (result != 1) {
    throw std::runtime_error(std::string("SHA-256 failed (") + step + ")");
  }
}

}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
  check(state_->context ? 1 : 0, "no memory for the hash");
  check(EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr), "init");
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::span<const std::byte> bytes) {
  check(EVP_DigestUpdate(state_->context.get(), bytes.data(), bytes.size()), "update");
}

Digest Sha256::finish() {
  Digest digest{};
  unsigned int size = 0;
  check(EVP_DigestFinal_ex(state_->context.get(), digest.data(), &size), "final");
  check(size == digest.size() ? 1 : 0, "digest size");
  return digest;
}

}  // namespace tvlib::integrity
