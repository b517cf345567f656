// Digest and signature checks of downloaded packages: header parsing, key
// decoding, signature verification, and whole downloads through the client.
#include <sodium.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

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
    const std::string message = "kolvaren-package-v1:" + sha256(package);
    std::string signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(message.data()),
                         message.size(), secret_.data());
    return signature;
  }
  [[nodiscard]] http::Field header(std::string_view package) const {
    return {"Kolvaren-Package-Signature",
            "ed25519=:" + base64(signature(package)) + ":"};
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
                    std::span<const PublicKey> keys = {}) {
  try {
    PackageCheck check(headers, keys);
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
  // Made by devhost/kolvaren_sign from the seed 00 01 .. 1f: the two
  // implementations must agree on the signed message.
  const PublicKey key = integrity::decode_public_key(
      "03a107bff3ce10be1d70dd18e74bc09967e4d6309ba50d5f1ddc8664125531b8");
  const http::Fields headers = {
      {"Kolvaren-Package-Signature",
       "ed25519=:RvjFYXm8RBhKv2J9wQkkiaR+"
       "36izlN3sdJmUB2drVG7fylWdnrwogSWqISx9JP8aNw3w1WC1"
       "MAMcwQW2Cp3JDQ==:"},
      {"Content-Digest", "sha-256=:XIlPm6MLvTEeO4pfaHGK9OP9WfdxLVB9Lq90wBY00o0=:"}};
  EXPECT_EQ(verdict(headers, package, std::span(&key, 1)), "");
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

TEST(PackageSignature, MissingOrMalformedIsRejectedBeforeAnyByte) {
  const Signer signer(1);
  const std::array<PublicKey, 1> keys = {signer.public_key()};
  const std::string name = "Kolvaren-Package-Signature";
  for (const auto& [value, says] : std::vector<std::pair<std::string, std::string>>{
           {"", "missing package signature: the reply has no " + name + " header"},
           {"ed448=:AAAA:",
            "missing package signature: the " + name + " header has no"},
           {signer.header(package).second.substr(0, 40),
            "malformed package signature: the " + name + " header is not a dictionary"},
           {"ed25519=\"sig\"", "malformed package signature: the " + name +
                                   " header's ed25519 value is not a byte sequence"},
           {"ed25519=:" + base64(std::string(63, 'x')) + ":",
            "malformed package signature: the " + name +
                " header's ed25519 value has 63 bytes, not 64"},
       }) {
    http::Fields headers;
    if (!value.empty()) {
      headers.emplace_back("kolvaren-package-signature", value);
    }
    try {
      const PackageCheck check(headers, keys);
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
      download::download_package(client,
                                 {server.url("/license/download/SECRET"), "pkg.ms",
                                  into.value_or(target()), keys, ca_bundle()},
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

}  // namespace
}  // namespace tvlib::test
