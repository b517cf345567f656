#include "core/integrity/signature.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/integrity/sodium_init.hpp"
#include "core/integrity/structured_field.hpp"

namespace tvlib::integrity {

static_assert(digest_size == crypto_hash_sha256_BYTES);
static_assert(public_key_size == crypto_sign_PUBLICKEYBYTES);
static_assert(signature_size == crypto_sign_BYTES);

std::string signed_message(const Digest& package_digest) {
  std::string message(signed_message_prefix);
  message.append(reinterpret_cast<const char*>(package_digest.data()),
                 package_digest.size());
  return message;
}

std::string release_message(std::string_view version, std::string_view file_name,
                            const Digest& package_digest) {
  std::string message(release_message_prefix);
  for (const std::string_view part : {version, file_name}) {
    const auto length = static_cast<std::uint32_t>(part.size());
    for (const unsigned shift : {24U, 16U, 8U, 0U}) {
      message.push_back(static_cast<char>((length >> shift) & 0xFFU));
    }
    message.append(part);
  }
  message.append(reinterpret_cast<const char*>(package_digest.data()),
                 package_digest.size());
  return message;
}

bool signed_by_any(std::string_view signature, std::string_view message,
                   std::span<const PublicKey> keys) {
  if (signature.size() != signature_size) {
    return false;
  }
  detail::ensure_sodium();
  const auto* signature_bytes =
      reinterpret_cast<const unsigned char*>(signature.data());
  const auto* message_bytes = reinterpret_cast<const unsigned char*>(message.data());
  for (const PublicKey& key : keys) {
    if (crypto_sign_verify_detached(signature_bytes, message_bytes, message.size(),
                                    key.data()) == 0) {
      return true;
    }
  }
  return false;
}

bool signature_matches(std::string_view signature, const Digest& package_digest,
                       std::span<const PublicKey> keys) {
  return signed_by_any(signature, signed_message(package_digest), keys);
}

PublicKey decode_public_key(std::string_view text) {
  detail::ensure_sodium();
  PublicKey key{};
  if (text.size() == 2 * public_key_size) {
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_hex2bin(key.data(), key.size(), text.data(), text.size(), nullptr,
                       &length, &end) != 0 ||
        length != key.size() || end != text.data() + text.size()) {
      throw std::invalid_argument("64 characters that are not all hex digits");
    }
  } else {
    std::string bytes;
    try {
      bytes = decode_base64(text);
    } catch (const FieldSyntaxError&) {
      throw std::invalid_argument("neither 64 hex digits nor base64");
    }
    if (bytes.size() != public_key_size) {
      throw std::invalid_argument("base64 of " + std::to_string(bytes.size()) +
                                  " bytes, not 32");
    }
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(key.data()));
  }
  // A point off the curve, or of small order, could never verify anything.
  if (crypto_core_ed25519_is_valid_point(key.data()) != 1) {
    throw std::invalid_argument("not an Ed25519 public key");
  }
  return key;
}

std::span<const PublicKey> trusted_package_keys() {
  static const std::vector<PublicKey> keys = [] {
    std::vector<PublicKey> decoded;
    for (const std::string_view text : built_in_key_texts()) {
      try {
        decoded.push_back(decode_public_key(text));
      } catch (const std::invalid_argument& e) {
        throw std::runtime_error("the package key " + std::string(text) +
                                 " built into this program is unusable: " + e.what());
      }
    }
    return decoded;
  }();
  return keys;
}

}  // namespace tvlib::integrity
