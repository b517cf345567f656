#include "core/integrity/package_check.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "core/integrity/structured_field.hpp"
#include "core/text/ascii_case.hpp"

namespace tvlib::integrity {

namespace {

// A field sent on several lines is one comma-separated list (RFC 9110 5.3).
std::optional<std::string> field(const http::Fields& headers, std::string_view name) {
  std::optional<std::string> value;
  for (const auto& [key, text] : headers) {
    if (text::same_ignoring_ascii_case(key, name)) {
      value = value ? *value + ", " + text : text;
    }
  }
  return value;
}

constexpr std::string_view release_member = "ed25519-release";

// The 64 signature bytes of a signature member.
std::string signature_bytes(const DictionaryMember& found, const std::string& header) {
  const std::string where = "the " + header + " header's " + found.key + " value";
  if (!found.bytes) {
    throw PackageRejected("malformed package signature: " + where +
                          " is not a byte sequence");
  }
  if (found.bytes->size() != signature_size) {
    throw PackageRejected("malformed package signature: " + where + " has " +
                          std::to_string(found.bytes->size()) + " bytes, not 64");
  }
  return *found.bytes;
}

const DictionaryMember* member(const std::vector<DictionaryMember>& members,
                               std::string_view key) {
  const auto found = std::ranges::find(members, key, &DictionaryMember::key);
  return found == members.end() ? nullptr : &*found;
}

std::string wrapped(const Digest& digest) {
  return ":" +
         encode_base64({reinterpret_cast<const char*>(digest.data()), digest.size()}) +
         ":";
}

}  // namespace

PackageCheck::PackageCheck(const http::Fields& headers,
                           std::span<const PublicKey> trusted_keys,
                           AnnouncedRelease announced)
    : release_(std::move(announced)), keys_(trusted_keys) {
  read_digest(headers, "Content-Digest");
  // Repr-Digest covers the decoded representation; the package is stored as
  // received, so a content-coded reply's Repr-Digest says nothing about it.
  const std::optional<std::string> coding = field(headers, "Content-Encoding");
  if (!coding || text::same_ignoring_ascii_case(*coding, "identity")) {
    read_digest(headers, "Repr-Digest");
  }
  if (!keys_.empty()) {
    read_signature(headers);
  }
}

void PackageCheck::read_digest(const http::Fields& headers, std::string_view name) {
  const std::optional<std::string> value = field(headers, name);
  if (!value) {
    return;
  }
  const std::string malformed = "malformed " + std::string(name) + " header: ";
  std::vector<DictionaryMember> members;
  try {
    members = parse_dictionary(*value);
  } catch (const FieldSyntaxError& e) {
    throw PackageRejected(malformed + e.what());
  }
  // Other algorithms are not ours to judge; sha-256 is.
  const DictionaryMember* sha256 = member(members, "sha-256");
  if (sha256 == nullptr) {
    return;
  }
  if (!sha256->bytes) {
    throw PackageRejected(malformed + "its sha-256 value is not a byte sequence");
  }
  if (sha256->bytes->size() != digest_size) {
    throw PackageRejected(malformed + "its sha-256 value has " +
                          std::to_string(sha256->bytes->size()) + " bytes, not 32");
  }
  Announced announced{std::string(name), {}};
  std::ranges::copy(*sha256->bytes, reinterpret_cast<char*>(announced.digest.data()));
  digests_.push_back(std::move(announced));
}

void PackageCheck::read_signature(const http::Fields& headers) {
  const std::string header(signature_header);
  const std::optional<std::string> value = field(headers, header);
  if (!value) {
    throw PackageRejected("missing package signature: the reply has no " + header +
                          " header, and this build installs signed packages only");
  }
  std::vector<DictionaryMember> members;
  try {
    members = parse_dictionary(*value);
  } catch (const FieldSyntaxError& e) {
    throw PackageRejected("malformed package signature: the " + header +
                          " header is not a dictionary (" + e.what() + ")");
  }
  const DictionaryMember* bound = member(members, release_member);
  const DictionaryMember* hash_only = member(members, "ed25519");
  if (bound == nullptr && hash_only == nullptr) {
    throw PackageRejected("missing package signature: the " + header +
                          " header has no " + std::string(release_member) + " member");
  }
  if (bound == nullptr) {
    throw PackageRejected(
        "package signature binds no version: the " + header +
        " header has only the hash-only ed25519 member, and this build installs "
        "packages signed with their version and file name only (" +
        std::string(release_member) + ")");
  }
  signature_ = signature_bytes(*bound, header);
  if (hash_only != nullptr && hash_only->bytes) {
    hash_signature_ = *hash_only->bytes;
  }
}

Digest PackageCheck::finish() {
  const Digest received = hash_.finish();
  // A digest names damage on the way more precisely than a signature does,
  // so it is reported first.
  for (const Announced& announced : digests_) {
    if (announced.digest != received) {
      throw PackageRejected(
          announced.header + " mismatch: the package received has sha-256 " +
          wrapped(received) + ", the reply announced " + wrapped(announced.digest) +
          " (damaged or altered on the way)");
    }
  }
  if (keys_.empty()) {
    return received;
  }
  const std::string bound =
      release_message(release_.version, release_.file_name, received);
  if (signed_by_any(signature_, bound, keys_)) {
    return received;
  }
  // The vendor's package, offered under another version or name: an older
  // release relabelled, most likely.
  if (signature_matches(hash_signature_, received, keys_)) {
    throw PackageRejected(
        "package signature is for another release: the package is signed by a "
        "trusted key, but not as version '" +
        release_.version + "' in a file named '" + release_.file_name +
        "', which the release record announced");
  }
  const std::size_t count = keys_.size();
  throw PackageRejected(
      "package signature does not match any trusted key: the package was altered "
      "after signing, or signed with a key this build does not trust (it trusts " +
      std::to_string(count) + (count == 1 ? " key)" : " keys)"));
}

}  // namespace tvlib::integrity
