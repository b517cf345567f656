// Digest and signature checks of downloaded packages: header parsing, key
// decoding, signature verification, and whole downloads through the client.
#include <sodium.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

#include "core/download/package_download.hpp"
#include "core/files/package_name.hpp"
#include "core/integrity/package_check.hpp"
#include "core/integrity/structured_field.hpp"
#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

namespace fs = std::filesystem;
using integrity::PackageCheck;
using integrity::PackageRejected;
using integrity::PublicKey;

std::span<const std::byte> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

std::string base64(std::string_view bytes) { return integrity::encode_base64(bytes); }

std::string sha256(std::string_view data) {
  std::string digest(crypto_hash_sha256_BYTES, '\0');
  crypto_hash_sha256(reinterpret_cast<unsigned char*>(digest.data()),
                     reinterpret_cast<const unsigned char*>(data.data()), data.size());
  return digest;
}

// A signer as the service side has one. The message is built here from its
// documented form, not by the code under test.
class Signer {
 public:
  explicit Signer(unsigned char seed_byte) {
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed{};
    seed.fill(seed_byte);
    crypto_sign_seed_keypair(public_.data(), secret_.data(), seed.data());
  }
  [[nodiscard]] const PublicKey& public_key() const { return public_; }

  [[nodiscard]] std::string signature(std::string_view package) const {
    return sign("kolvaren-package-v1:" + sha256(package));
  }
  [[nodiscard]] std::string release_signature(std::string_view package,
                                              std::string_view version,
                                              std::string_view name) const {
    std::string message = "kolvaren-release-v1:";
    for (const std::string_view part : {version, name}) {
      const std::size_t n = part.size();
      message += {static_cast<char>(n >> 24U), static_cast<char>((n >> 16U) & 0xFFU),
                  static_cast<char>((n >> 8U) & 0xFFU), static_cast<char>(n & 0xFFU)};
      message += part;
    }
    return sign(message + sha256(package));
  }
  // Both forms, as the service sends them.
  [[nodiscard]] http::Field header(std::string_view package,
                                   std::string_view version = "2.4.0",
                                   std::string_view name = "pkg.ms") const {
    return {"Kolvaren-Package-Signature",
            "ed25519=:" + base64(signature(package)) + ":, ed25519-release=:" +
                base64(release_signature(package, version, name)) + ":"};
  }

 private:
  [[nodiscard]] std::string sign(const std::string& message) const {
    std::string signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(message.data()),
                         message.size(), secret_.data());
    return signature;
  }

 private:
  PublicKey public_{};
  std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secret_{};
};

http::Field content_digest(std::string_view package) {
  return {"Content-Digest", "sha-256=:" + base64(sha256(package)) + ":"};
}

// Runs a check over `package` as a download would; the rejection's text, or
// "" when the package passes.
std::string verdict(const http::Fields& headers, std::string_view package,
                    std::span<const PublicKey> keys = {},
                    integrity::AnnouncedRelease release = {"2.4.0", "pkg.ms"}) {
  try {
    PackageCheck check(headers, keys, std::move(release));
    check.update(bytes_of(package.substr(0, package.size() / 2)));
    check.update(bytes_of(package.substr(package.size() / 2)));
    check.finish();
    return "";
  } catch (const PackageRejected& e) {
    return e.what();
  }
}

constexpr std::string_view package = "-- Kolvaren 2.4.0 package\n";

TEST(StructuredField, MembersKeysAndValues) {
  const auto members = integrity::parse_dictionary(
      "sha-512=:AAAA:;p=1, sha-256=:aGk=:,  id=x;q, k=(1 \"a,b\" tok/en);z=?0, "
      "d=-1.5, e=@1700000000, flag, sha-256=:b2s:  ");
  std::vector<std::string> keys;
  for (const auto& member : members) {
    keys.push_back(member.key);
  }
  // A repeated key replaces the earlier member.
  EXPECT_EQ(keys, (std::vector<std::string>{"sha-512", "id", "k", "d", "e", "flag",
                                            "sha-256"}));
  EXPECT_EQ(members.back().bytes, "ok");
  EXPECT_EQ(members.front().bytes, std::string(3, '\0'));
  EXPECT_FALSE(members[1].bytes);  // a token
  EXPECT_FALSE(members[2].bytes);  // an inner list
}

TEST(StructuredField, TextsThatAreNotDictionaries) {
  for (const char* text :
       {"sha-256=:abc", "sha-256=:ab$c:", "Sha-256=:aGk=:", "a=1,", "a=1 b=2",
        "a=\"open", "a=(1 2", "a=1.2345", "a=1234567890123456", "a=?2",
        "a=:a===:", "a=:aGk:=", ",a=1", "a=é"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(integrity::parse_dictionary(text), integrity::FieldSyntaxError);
  }
  EXPECT_TRUE(integrity::parse_dictionary("").empty());
  EXPECT_EQ(integrity::parse_dictionary("a=:aGk:").front().bytes,
            "hi");  // padding left out
}

TEST(PackageKeys, HexOrBase64OfAUsableKey) {
  const Signer signer(7);
  const std::string raw(reinterpret_cast<const char*>(signer.public_key().data()), 32);
  std::array<char, 65> hex{};
  sodium_bin2hex(hex.data(), hex.size(), signer.public_key().data(), 32);
  for (const std::string& text :
       {std::string(hex.data()), base64(raw), base64(raw).substr(0, 43)}) {
    EXPECT_EQ(integrity::decode_public_key(text), signer.public_key()) << text;
  }
  for (const std::string& text :
       {std::string(64, 'g'), base64(raw.substr(0, 31)), base64(raw + "x"),
        std::string("not a key"),
        // 32 zero bytes: a point of small order, which would verify anything.
        std::string(64, '0')}) {
    EXPECT_THROW(integrity::decode_public_key(text), std::invalid_argument) << text;
  }
}

TEST(PackageSignature, MatchesWhatTheSigningToolMakes) {
  // Made by devhost/kolvaren_sign from the seed 00 01 .. 1f for version
  // 2.4.0 and the name kolvaren-2.4.0.ms: the two implementations must agree
  // on the signed messages.
  const PublicKey key = integrity::decode_public_key(
      "03a107bff3ce10be1d70dd18e74bc09967e4d6309ba50d5f1ddc8664125531b8");
  const std::string hash_only =
      "ed25519=:RvjFYXm8RBhKv2J9wQkkiaR+"
      "36izlN3sdJmUB2drVG7fylWdnrwogSWqISx9JP8aNw3w1WC1"
      "MAMcwQW2Cp3JDQ==:";
  const std::string bound =
      "ed25519-release=:s5c0ZVQSOHX5idI/0f89Q6NEf5HbOVtTLbbwTiLdpGH9jfFk8DQO39xYQAKL6x"
      "atdOh2aPE7iuaWLZERrsw1CQ==:";
  const http::Field digest = {"Content-Digest",
                              "sha-256=:XIlPm6MLvTEeO4pfaHGK9OP9WfdxLVB9Lq90wBY00o0=:"};
  const integrity::AnnouncedRelease release{"2.4.0", "kolvaren-2.4.0.ms"};
  EXPECT_EQ(verdict({{"Kolvaren-Package-Signature", hash_only + ", " + bound}, digest},
                    package, std::span(&key, 1), release),
            "");
  // The hash-only half by itself checks out too, but binds no version.
  EXPECT_TRUE(integrity::signature_matches(
      integrity::decode_base64(hash_only.substr(9, 88)),
      [] {
        integrity::Sha256 hash;
        hash.update(bytes_of(package));
        return hash.finish();
      }(),
      std::span(&key, 1)));
}

TEST(PackageSignature, OnlyTheTrustedKeysSignatureOfTheseBytesMatches) {
  const Signer old_signer(1);
  const Signer new_signer(2);
  const Signer stranger(3);
  const std::array<PublicKey, 2> rotation = {old_signer.public_key(),
                                             new_signer.public_key()};
  std::string changed(package);
  changed[5] ^= 0x01;

  EXPECT_EQ(verdict({old_signer.header(package)}, package, rotation), "");
  EXPECT_EQ(verdict({new_signer.header(package)}, package, rotation), "")
      << "a key later in the list is as good as the first";
  for (const std::string& text :
       {verdict({stranger.header(package)}, package, rotation),
        verdict({new_signer.header(package)}, changed, rotation),
        verdict({new_signer.header(changed)}, package, rotation)}) {
    EXPECT_EQ(
        text,
        "package signature does not match any trusted key: the package was altered "
        "after signing, or signed with a key this build does not trust (it trusts 2 "
        "keys)");
  }
}

// A check left without the announced release would refuse every signed
// package: it cannot be made without one.
static_assert(!std::is_default_constructible_v<integrity::AnnouncedRelease>);
static_assert(!std::is_constructible_v<PackageCheck, const http::Fields&,
                                       std::span<const PublicKey>>);

// The downgrade: a package the vendor once signed, offered under a version
// that would be recorded as installed and outrank every real release.
TEST(PackageSignature, BindsTheVersionAndTheNameTheReleaseAnnounced) {
  const Signer signer(1);
  const std::array<PublicKey, 1> keys = {signer.public_key()};
  const auto relabelled = [&](std::string_view version, std::string_view name) {
    return "package signature is for another release: the package is signed by a "
           "trusted key, but not as version '" +
           std::string(version) + "' in a file named '" + std::string(name) +
           "', which the release record announced";
  };
  const http::Fields signed_240 = {signer.header(package, "2.4.0", "pkg.ms")};
  EXPECT_EQ(verdict(signed_240, package, keys, {"2.4.0", "pkg.ms"}), "");
  EXPECT_EQ(verdict(signed_240, package, keys, {"99", "pkg.ms"}),
            relabelled("99", "pkg.ms"));
  EXPECT_EQ(verdict(signed_240, package, keys, {"2.4.0", "other.ms"}),
            relabelled("2.4.0", "other.ms"));
  // Version and name are not simply run together.
  EXPECT_EQ(verdict({signer.header(package, "2.4.0p", "kg.ms")}, package, keys,
                    {"2.4.0", "pkg.ms"}),
            relabelled("2.4.0", "pkg.ms"));
  // Without the hash-only half a refusal cannot tell a relabelled package
  // from a foreign one.
  const http::Fields bound_only = {
      {"Kolvaren-Package-Signature",
       "ed25519-release=:" +
           base64(signer.release_signature(package, "2.4.0", "pkg.ms")) + ":"}};
  EXPECT_EQ(verdict(bound_only, package, keys, {"2.4.0", "pkg.ms"}), "");
  EXPECT_TRUE(verdict(bound_only, package, keys, {"99", "pkg.ms"})
                  .starts_with("package signature does not match any trusted key"));
}

TEST(PackageSignature, MissingOrMalformedIsRejectedBeforeAnyByte) {
  const Signer signer(1);
  const std::array<PublicKey, 1> keys = {signer.public_key()};
  const std::string name = "Kolvaren-Package-Signature";
  for (const auto& [value, says] : std::vector<std::pair<std::string, std::string>>{
           {"", "missing package signature: the reply has no " + name + " header"},
           {"ed448=:AAAA:", "missing package signature: the " + name +
                                " header has no ed25519-release member"},
           {signer.header(package).second.substr(0, 40),
            "malformed package signature: the " + name + " header is not a dictionary"},
           {"ed25519-release=\"sig\"",
            "malformed package signature: the " + name +
                " header's ed25519-release value is not a byte sequence"},
           {"ed25519=:AAAA:, ed25519-release=:" + base64(std::string(63, 'x')) + ":",
            "malformed package signature: the " + name +
                " header's ed25519-release value has 63 bytes, not 64"},
           {"ed25519=:" + base64(signer.signature(package)) + ":",
            "package signature binds no version: the " + name +
                " header has only the hash-only ed25519 member, and this build "
                "installs packages signed with their version and file name only "
                "(ed25519-release)"},
       }) {
    http::Fields headers;
    if (!value.empty()) {
      headers.emplace_back("kolvaren-package-signature", value);
    }
    try {
      const PackageCheck check(headers, keys, {"2.4.0", "pkg.ms"});
      ADD_FAILURE() << "accepted " << value;
    } catch (const PackageRejected& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with(says)) << e.what();
    }
  }
}

TEST(PackageDigest, Sha256IsCheckedOtherAlgorithmsAreNot) {
  const http::Field good = content_digest(package);
  const http::Field other = content_digest("other bytes");
  EXPECT_EQ(verdict({good}, package), "");
  EXPECT_EQ(verdict({{"Content-Digest", "sha-512=:AAAA:, unixsum=3"}}, package), "");
  EXPECT_EQ(verdict({{"Repr-Digest", good.second}, good}, package), "");
  EXPECT_EQ(verdict({other}, package),
            "Content-Digest mismatch: the package received has sha-256 :" +
                base64(sha256(package)) + ":, the reply announced :" +
                base64(sha256("other bytes")) + ": (damaged or altered on the way)");
  EXPECT_TRUE(verdict({good, {"Repr-Digest", other.second}}, package)
                  .starts_with("Repr-Digest mismatch"));
  // Repr-Digest describes the decoded representation; the package is kept as sent.
  EXPECT_EQ(
      verdict({{"Repr-Digest", other.second}, {"Content-Encoding", "gzip"}}, package),
      "");
  // A header sent twice is one list; its later sha-256 member counts.
  EXPECT_EQ(verdict({{"Content-Digest", other.second}, good}, package), "");
  // Without keys the signature header means nothing, however it looks.
  EXPECT_EQ(verdict({{"Kolvaren-Package-Signature", "garbage (("}, good}, package), "");
}

// The platform's SHA-256 (OpenSSL here, CNG on Windows) against libsodium's,
// fed in pieces that fall short of, fill and straddle its 64-byte blocks.
TEST(PackageDigest, PlatformHashMatchesAReferenceWhateverThePieces) {
  std::string data(100000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<char>(i * 131 % 251);
  }
  for (const std::size_t piece : {1, 63, 64, 65, 8192, 100000}) {
    for (const std::size_t size : {std::size_t{0}, data.size()}) {
      const std::string_view input = std::string_view(data).substr(0, size);
      integrity::Sha256 hash;
      for (std::size_t at = 0; at < input.size(); at += piece) {
        hash.update(bytes_of(input.substr(at, piece)));
      }
      const integrity::Digest digest = hash.finish();
      EXPECT_EQ(base64({reinterpret_cast<const char*>(digest.data()), digest.size()}),
                base64(sha256(input)))
          << size << " bytes in pieces of " << piece;
    }
  }
}

TEST(PackageDigest, MalformedSha256IsAnErrorEvenWithoutKeys) {
  for (const auto& [value, says] : std::vector<std::pair<std::string, std::string>>{
           {"sha-256=abc", "its sha-256 value is not a byte sequence"},
           {"sha-256=:" + base64("short") + ":",
            "its sha-256 value has 5 bytes, not 32"},
           {"sha-256=:***:", "expected base64 and a closing ':' at character 10"},
       }) {
    EXPECT_EQ(verdict({{"Content-Digest", value}}, package),
              "malformed Content-Digest header: " + says);
  }
}

// Whole downloads through the HTTP client into a file.
class NoProgress final : public download::ProgressSink {
 public:
  void on_percentage(int /*pct*/) override {}
};

class PackageDownload : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("tvlib-integrity-" + std::to_string(process_id()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Downloads a reply of `body` with `headers`; the error text, or "" when
  // the package was stored.
  std::string download(const std::string& body, const http::Fields& headers,
                       std::span<const PublicKey> keys = {},
                       std::optional<fs::path> into = std::nullopt) {
    TestServer server([&](const Received& /*request*/, Connection& connection) {
      connection.send(reply(200, body, headers));
    });
    http::Client client;
    NoProgress progress;
    try {
      download::download_package(
          client,
          {server.url("/license/download/SECRET"), "pkg.ms", into.value_or(target()),
           keys, "2.4.0", 0, ca_bundle()},
          progress);
      return "";
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  [[nodiscard]] fs::path target() const { return folder_ / "pkg.ms"; }

  [[nodiscard]] std::string stored() const {
    std::ifstream file(target(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  fs::path folder_;
};

// On Windows "D:pkg.ms" inside the folder would be a stream of a file "D".
TEST_F(PackageDownload, ANameWithADrivePrefixIsRefusedBeforeAnythingIsWritten) {
  const std::string error =
      download("body", {}, {}, files::entry_of(target().parent_path(), "D:pkg.ms"));
  EXPECT_NE(error.find("'D:pkg.ms' is not a file name"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_empty(target().parent_path()));
}

TEST_F(PackageDownload, OnlyAPackageThatPassesIsLeftOnDisk) {
  const Signer signer(1);
  const Signer stranger(2);
  const PublicKey key = signer.public_key();
  const std::span<const PublicKey> keys(&key, 1);
  const std::string body(300000, 'k');
  std::string tampered = body;
  tampered[123456] = 'X';
  EXPECT_EQ(download(body, {signer.header(body), content_digest(body)}, keys), "");
  EXPECT_TRUE(stored() == body);

  struct Case {
    std::string body;
    http::Fields headers;
    std::span<const PublicKey> keys;
    std::string says;
  };
  for (const Case& bad : std::vector<Case>{
           {tampered, {signer.header(body)}, keys, "package signature does not"},
           {body, {stranger.header(body)}, keys, "package signature does not"},
           {body, {}, keys, "missing package signature"},
           {tampered, {content_digest(body)}, {}, "Content-Digest mismatch"},
       }) {
    SCOPED_TRACE(bad.says);
    // Nor may an earlier file of that name pass for this package.
    std::ofstream(target()) << "stale";
    const std::string error = download(bad.body, bad.headers, bad.keys);
    EXPECT_TRUE(error.starts_with(bad.says)) << error;
    EXPECT_EQ(error.find("SECRET"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(target()));
  }
}

TEST_F(PackageDownload, AReplyWithoutALengthStopsAtTheSizeLimit) {
  TestServer server([](const Received& /*request*/, Connection& connection) {
    connection.send("HTTP/1.1 200 OK\r\n\r\n" + std::string(300000, 'k'));
    connection.close_after_reply();
  });
  http::Client client;
  NoProgress progress;
  download::PackageRequest request{server.url("/license/download/SECRET"), "pkg.ms",
                                   target()};
  request.max_size = 100000;
  request.ca_bundle = ca_bundle();
  std::string error;
  try {
    download::download_package(client, request, progress);
  } catch (const http::TransportError& e) {
    error = e.what();
  }
  EXPECT_TRUE(
      error.ends_with("announces no length and goes on past 100000 bytes; it "
                      "was stopped there"))
      << error;
  EXPECT_FALSE(fs::exists(target()));
}

}  // namespace
}  // namespace tvlib::test
