// Package hashing and Ed25519 signatures. The signer signs a short message
// that names the package's SHA-256, so the client hashes the package once,
// while it streams, and checks digest and signature from that one hash.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace tvlib::integrity {

inline constexpr std::size_t digest_size = 32;
inline constexpr std::size_t public_key_size = 32;
inline constexpr std::size_t signature_size = 64;

using Digest = std::array<unsigned char, digest_size>;
using PublicKey = std::array<unsigned char, public_key_size>;

// What is signed: this prefix followed by the 32 bytes of the package's
// SHA-256. The prefix keeps a package signature from meaning anything else.
inline constexpr std::string_view signed_message_prefix = "kolvaren-package-v1:";

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(std::span<const std::byte> bytes);
  // The digest of everything given so far; the hash cannot be used afterwards.
  Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// What a release-bound signature signs: this prefix, the release's version
// text and the package's file name, each as 4 bytes of its length (big-endian)
// and its UTF-8 bytes, and the 32 bytes of the package's SHA-256. The lengths
// keep a version and a name from being read as another split of the same
// bytes.
inline constexpr std::string_view release_message_prefix = "kolvaren-release-v1:";

std::string signed_message(const Digest& package_digest);
std::string release_message(std::string_view version, std::string_view file_name,
                            const Digest& package_digest);

// True when `signature` (64 bytes) is one of the keys' signature of `message`.
// Any other length never matches.
bool signed_by_any(std::string_view signature, std::string_view message,
                   std::span<const PublicKey> keys);

// The same for the hash-only message of `package_digest`.
bool signature_matches(std::string_view signature, const Digest& package_digest,
                       std::span<const PublicKey> keys);

// A public key written as 64 hex digits or as base64 of its 32 bytes.
// Throws std::invalid_argument when the text is neither, or names no
// usable Ed25519 key.
PublicKey decode_public_key(std::string_view text);

// The keys this build trusts (KOLVAREN_PACKAGE_KEYS); empty when packages are
// not signed. Throws std::runtime_error if a built-in key is unusable.
std::span<const PublicKey> trusted_package_keys();

// The texts of those keys, as the build wrote them in.
std::span<const std::string_view> built_in_key_texts();

}  // namespace tvlib::integrity
