// What a download reply's headers promise about the package, held against the
// bytes as they arrive: the RFC 9530 digests always, the package signature
// when the build trusts signing keys.
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/http/client.hpp"
#include "core/integrity/signature.hpp"

namespace tvlib::integrity {

// The reply header that carries the package signature, a structured-field
// dictionary: `Kolvaren-Package-Signature: ed25519=:<base64 of 64 bytes>:,
// ed25519-release=:<base64 of 64 bytes>:`. `ed25519` signs the package's
// hash alone (builds before version-bound signatures read only this one),
// `ed25519-release` signs it together with the release's version and the
// package's file name (release_message()).
inline constexpr std::string_view signature_header = "Kolvaren-Package-Signature";

// What the release record announced for the package: the version text the
// client records as installed, and the name of the file it writes. Nothing
// defaults: a check left without them would hold every signature against an
// empty version and name, and refuse every signed package.
struct AnnouncedRelease {
  AnnouncedRelease(std::string version_text, std::string name)
      : version(std::move(version_text)), file_name(std::move(name)) {}

  std::string version;
  std::string file_name;
};

// The package must not be used; the message names the check that failed.
class PackageRejected : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PackageCheck {
 public:
  // Reads the digest and signature headers; without trusted keys the
  // signature header is not looked at. With keys only the release-bound
  // signature counts, made for `announced`: a hash-only signature would let
  // whoever controls the service offer any package once signed under any
  // version, and the client would record that version as installed. Throws
  // PackageRejected for a malformed digest header and, with keys, for a
  // missing, hash-only or malformed signature, so that no body is stored for
  // nothing.
  PackageCheck(const http::Fields& headers, std::span<const PublicKey> trusted_keys,
               AnnouncedRelease announced);

  void update(std::span<const std::byte> bytes) { hash_.update(bytes); }

  // The bytes' SHA-256. Throws PackageRejected when they do not match an
  // announced digest or the signature. Called once, after the last byte.
  Digest finish();

 private:
  struct Announced {
    std::string header;
    Digest digest{};
  };

  void read_digest(const http::Fields& headers, std::string_view name);
  void read_signature(const http::Fields& headers);

  std::vector<Announced> digests_;
  std::string signature_;       // release-bound
  std::string hash_signature_;  // hash-only, when sent too: says more in a refusal
  AnnouncedRelease release_;
  std::span<const PublicKey> keys_;
  Sha256 hash_;
};

}  // namespace tvlib::integrity
