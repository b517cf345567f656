// SHA-256 through Windows' CNG (BCrypt): the system's own implementation,
// which uses the CPU's SHA extensions where there are any. The Windows build's
// libcurl speaks Schannel, so no OpenSSL is linked there.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>

#include "core/integrity/signature.hpp"

namespace tvlib::integrity {

namespace {

void check(NTSTATUS status, const char* step) {
  if (!BCRYPT_SUCCESS(status)) {
    throw std::runtime_error(std::string("SHA-256 failed (") + step + ", status " +
                             std::to_string(static_cast<unsigned long>(status)) + ")");
  }
}

// Opened once; CNG's algorithm handles may be shared by threads.
BCRYPT_ALG_HANDLE sha256_algorithm() {
  static const BCRYPT_ALG_HANDLE algorithm = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    check(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
          "open the algorithm");
    return handle;
  }();
  return algorithm;
}

}  // namespace

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  State(State&&) = delete;
  State& operator=(State&&) = delete;
  ~State() {
    if (hash != nullptr) {
      BCryptDestroyHash(hash);
    }
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  // Without a buffer of ours, CNG allocates the hash object itself.
  check(BCryptCreateHash(sha256_algorithm(), &state_->hash, nullptr, 0, nullptr, 0, 0),
        "create");
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::span<const std::byte> bytes) {
  // BCryptHashData takes a ULONG length and a non-const pointer it only reads.
  while (!bytes.empty()) {
    const std::size_t length = std::min<std::size_t>(bytes.size(), ULONG_MAX);
    auto* data = reinterpret_cast<PUCHAR>(const_cast<std::byte*>(bytes.data()));
    check(BCryptHashData(state_->hash, data, static_cast<ULONG>(length), 0), "update");
    bytes = bytes.subspan(length);
  }
}

Digest Sha256::finish() {
  Digest digest{};
  check(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()),
                         0),
        "finish");
  return digest;
}

}  // namespace tvlib::integrity
