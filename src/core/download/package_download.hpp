// Streams a release package from the release service into a file.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <variant>

#include "core/files/file_hold.hpp"
#include "core/http/client.hpp"
#include "core/integrity/signature.hpp"

namespace tvlib::download {

// Receives the percentage after every non-empty piece written, on the
// downloading thread. May throw to abort the download. `on_wait` comes
// whenever the download is about to wait for the network and returns how long
// that wait may last before it comes again (at least 1 ms): a sink that holds
// percentages back passes them on there in time.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void on_percentage(int pct) = 0;
  virtual std::chrono::milliseconds on_wait() {
    return std::chrono::milliseconds::max();
  }
};

struct PackageRequest {
  std::string url;        // base address + "/license/download/" + token
  std::string file_path;  // the package's path on the service, sent as the query
  std::filesystem::path local_path;  // the file to write
  // Signers whose signature the package must carry; none: unsigned packages
  // are accepted as they always were.
  std::span<const integrity::PublicKey> trusted_keys{};
  // The version the release record announced, as text: with keys, the
  // signature must be made for it and for local_path's file name.
  std::string version{};
  // The most bytes of the package, announced or not; 0: the build's limit
  // (KOLVAREN_MAX_DOWNLOAD_SIZE). Tests set a smaller one.
  std::uint64_t max_size = 0;
  std::string ca_bundle{};       // as http::Request::ca_bundle
  http::ProxyVariables proxy{};  // as http::Request::proxy
  // The slowest body taken (http::Request::min_body_rate and _period): a
  // trickle must not hold the download for ever. Tests set a shorter period.
  std::uint64_t min_rate = 1024;
  std::chrono::milliseconds min_rate_period{60000};
};

// The service answered 200 and the whole body is on disk.
struct Completed {
  std::uint64_t bytes = 0;
  // Keeps the verified file as it is (Windows) until whoever runs it has
  // read it; release it then.
  files::FileHold hold{};
};

// The service answered with another status; its body tells why.
struct Refused {
  long status = 0;
  std::string body;
};

using Outcome = std::variant<Completed, Refused>;

// Refusal bodies are small JSON objects; anything beyond this is not one.
inline constexpr std::size_t max_refusal_body = std::size_t{1024} * 1024;

// The folder "Kolvaren" in `temp_folder`, created with any missing parents
// and kept private: the package and the host's update record in it must be
// out of other users' reach, the system temporary folder being shared
// (files::make_private_folder). Throws files::UnsafeFolder for a folder
// someone else could change, std::runtime_error naming the folder and the
// cause when it cannot be made.
std::filesystem::path download_folder(const std::filesystem::path& temp_folder);

// GET with the 60-second limits (each wait, the reply's head as a whole, and
// at least 1 KiB/s of body over every 60 seconds);
// a reply announcing more than the size limit is refused from its head, one
// without Content-Length stops at the limit. On 200 the body goes piece by
// piece into a temporary file beside `local_path`, reporting percentages of the
// announced length and hashing what was written, and the whole (verified) file then
// replaces `local_path` in one step. Throws http::TransportError for transport
// failures (a body cut short of its announced length included),
// integrity::PackageRejected when the reply's digest or signature headers are
// malformed or missing, or do not match the body (`local_path` is removed
// then), and std::runtime_error for file and reply failures. On every failure
// the temporary file is closed and removed and, but for a rejection,
// `local_path` stays as it was before the call. On Windows the file is then
// held and read once more, to prove that what stands under its name is what
// was verified; the hold travels in Completed.
Outcome download_package(http::Client& client, const PackageRequest& request,
                         ProgressSink& progress);

}  // namespace tvlib::download
