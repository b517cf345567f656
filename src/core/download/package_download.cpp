#include "core/download/package_download.hpp"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "core/download/block_writer.hpp"
#include "core/download/progress.hpp"
#include "core/files/package_name.hpp"
#include "core/files/path_text.hpp"
#include "core/files/private_folder.hpp"
#include "core/files/whole_file.hpp"
#include "core/integrity/package_check.hpp"

namespace tvlib::download {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The system's words for a file failure, and the cause in plain words where a
// user can do something about it.
std::string describe(const std::error_code& error) {
  std::string message = error.message();
  if (error == std::errc::no_space_on_device) {
    return message + " (the disk is full)";
  }
  if (error == std::errc::read_only_file_system) {
    return message + " (the disk does not allow writing)";
  }
  if (error == std::errc::permission_denied ||
      error == std::errc::operation_not_permitted) {
    return message + " (no permission to write there)";
  }
  if (error == std::errc::not_a_directory || error == std::errc::file_exists) {
    return message + " (a file stands where a folder belongs)";
  }
  if (error == std::errc::is_a_directory) {
    return message + " (a folder stands where the file belongs)";
  }
#ifdef EDQUOT
  if (error == std::error_condition(EDQUOT, std::generic_category())) {
    return message + " (the disk quota is used up)";
  }
#endif
  return message;
}

std::string system_message(int error) {
  return describe(std::error_code(error, std::generic_category()));
}

// The announced size: a decimal integer, or 0 without the header.
std::uint64_t announced_size(const http::Head& head) {
  const std::optional<std::string> value = head.header("content-length");
  if (!value) {
    return 0;
  }
  std::string_view text = *value;
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  std::uint64_t size = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), size);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    throw std::runtime_error("the reply's Content-Length '" + *value +
                             "' is not a decimal integer");
  }
  return size;
}

class PackageWriter final : public http::StreamHandler {
 public:
  PackageWriter(const PackageRequest& request, ProgressSink& progress)
      : request_(request), progress_(progress) {}

  PackageWriter(const PackageWriter&) = delete;
  PackageWriter& operator=(const PackageWriter&) = delete;

  // A download that did not reach its end leaves no temporary file behind.
  ~PackageWriter() override {
    blocks_.reset();  // its thread may be writing to the file
    if (!partial_.empty()) {
      file_.reset();
      std::error_code error;
      folder_->remove(partial_.filename(), error);
    }
  }

  void on_head(const http::Head& head) override {
    status_ = head.status;
    if (status_ != 200) {
      return;
    }
    total_ = announced_size(head);
    // Both readings of the last component: libstdc++ on Windows takes a "D:"
    // inside a path for a root, so filename() alone would call the name
    // "D:pkg.ms" "pkg.ms" and the package would go to a stream of file "D".
    const std::string name = files::utf8_of(request_.local_path.filename());
    const std::string joined =
        files::last_component(files::utf8_of(request_.local_path));
    std::string fault = files::package_name_fault(name);
    if (fault.empty()) {
      fault = files::package_name_fault(joined);
    }
    if (!fault.empty()) {
      throw std::runtime_error("cannot write the package to " +
                               files::utf8_of(request_.local_path) + ": " + fault);
    }
    // Opened, and checked again, on the descriptor: every file of the download
    // is made, renamed and removed in the folder checked, whatever is done to
    // its path meanwhile.
    try {
      folder_.emplace(files::OpenFolder::open(request_.local_path.parent_path(),
                                              "download folder"));
    } catch (const fs::filesystem_error& error) {
      throw std::runtime_error("cannot open the download folder " +
                               files::utf8_of(request_.local_path.parent_path()) +
                               ": " + describe(error.code()));
    }
    try {
      check_.emplace(head.headers, request_.trusted_keys,
                     integrity::AnnouncedRelease{request_.version, name});
    } catch (const integrity::PackageRejected& rejected) {
      reject(rejected);
    }
    // The body goes to a file of its own beside the target and takes the
    // target's place only when it is whole (and verified): a second download
    // of the same package, or a failure half-way, never leaves a damaged
    // package under the target's name. A failed download leaves the target as
    // it was before (a rejected one removes it, see reject()).
    const auto cannot_open = [this](const std::error_code& cause) {
      return std::runtime_error("cannot open " + files::utf8_of(request_.local_path) +
                                " for writing: " + describe(cause));
    };
    std::error_code error;
    if (fs::is_directory(request_.local_path, error)) {
      // The rename would refuse it only after the whole download.
      throw cannot_open(std::make_error_code(std::errc::is_a_directory));
    }
    files::remove_stale_temporaries(request_.local_path);
    const fs::path partial = files::temporary_sibling(request_.local_path);
    try {
      file_.reset(folder_->create_new_file(partial.filename()));
    } catch (const std::system_error& failure) {
      throw cannot_open(failure.code());
    }
    partial_ = partial;
    // Blocks of 128 KiB go to the file and into the hash on a thread of
    // their own, one write call each: stdio's buffer would only copy them
    // once more.
    static_cast<void>(std::setvbuf(file_.get(), nullptr, _IONBF, 0));
    blocks_.emplace([this](std::span<const std::byte> block) {
      if (std::fwrite(block.data(), 1, block.size(), file_.get()) != block.size()) {
        // Kept before the message is built: what builds it may set errno.
        const int error = errno;
        throw std::runtime_error("cannot write " + files::utf8_of(request_.local_path) +
                                 ": " + system_message(error));
      }
      check_->update(block);
    });
  }

  void on_piece(std::span<const std::byte> piece) override {
    if (status_ != 200) {
      if (refusal_.size() + piece.size() > max_refusal_body) {
        throw std::runtime_error("the refusal reply is larger than " +
                                 std::to_string(max_refusal_body) + " bytes");
      }
      refusal_.append(reinterpret_cast<const char*>(piece.data()), piece.size());
      return;
    }
    if (piece.empty()) {
      return;
    }
    blocks_->append(piece);
    downloaded_ += piece.size();
    if (total_ > 0) {
      progress_.on_percentage(percentage(downloaded_, total_));
    }
  }

  std::chrono::milliseconds on_wait() override { return progress_.on_wait(); }

  void on_end() override {
    if (blocks_) {
      blocks_->finish();
      blocks_.reset();
    }
    if (file_) {
      std::FILE* f = file_.release();
      // fclose flushes what stdio still buffers; a full disk shows up here.
      if (std::fclose(f) != 0) {
        const int error = errno;
        throw std::runtime_error("cannot write " + files::utf8_of(request_.local_path) +
                                 ": " + system_message(error));
      }
    }
    if (check_) {
      verify();
    }
    if (status_ == 200) {
      try {
        folder_->rename(partial_.filename(), request_.local_path.filename());
      } catch (const std::system_error& error) {
        throw std::runtime_error("cannot write " + files::utf8_of(request_.local_path) +
                                 ": " + describe(error.code()));
      }
      partial_.clear();
      // The host reads the package by path: that path must still lead here.
      folder_->check_in_place();
      hold_ = hold_verified();
    }
  }

  [[nodiscard]] Outcome outcome() {
    if (status_ == 200) {
      return Completed{downloaded_, std::move(hold_)};
    }
    return Refused{status_, std::move(refusal_)};
  }

 private:
  void verify() {
    try {
      verified_ = check_->finish();
    } catch (const integrity::PackageRejected& rejected) {
      reject(rejected);
    }
  }

  // The host reads the package by name later, from another thread. Where the
  // hold is real (Windows) it is taken after the rename, since a handle that
  // denies deleting would stop the rename, and a second hash through it
  // proves that the file under the name is the one verified.
  files::FileHold hold_verified() {
    files::FileHold hold;
    try {
      hold = files::FileHold::of(request_.local_path);
      if (!hold.is_open()) {
        return hold;
      }
      integrity::Sha256 again;
      hold.read_all(
          [&again](std::span<const std::byte> piece) { again.update(piece); });
      if (again.finish() == verified_) {
        return hold;
      }
    } catch (const std::system_error& error) {
      throw std::runtime_error("cannot read " + files::utf8_of(request_.local_path) +
                               " back: " + describe(error.code()));
    }
    hold.release();
    reject(integrity::PackageRejected(
        "the package was changed on disk after it was checked: " +
        files::utf8_of(request_.local_path) + " is not the file that was verified"));
  }

  // No file of the package's name may stay behind a rejection, where it could
  // be taken for this package: not the rejected bytes, nor an earlier file.
  [[noreturn]] void reject(const integrity::PackageRejected& rejected) {
    std::error_code error;
    if (folder_) {
      folder_->remove(request_.local_path.filename(), error);
    } else {
      fs::remove(request_.local_path, error);
    }
    if (error) {
      throw integrity::PackageRejected(std::string(rejected.what()) + "; " +
                                       files::utf8_of(request_.local_path) +
                                       " could not be removed: " + describe(error));
    }
    throw rejected;
  }

  const PackageRequest& request_;
  ProgressSink& progress_;
  long status_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t downloaded_ = 0;
  std::optional<integrity::PackageCheck> check_;
  integrity::Digest verified_{};
  files::FileHold hold_;
  std::optional<files::OpenFolder> folder_;  // the download folder, held open
  fs::path partial_;  // the temporary file while it is being written
  File file_;
  std::optional<BlockWriter> blocks_;  // writes to file_ and hashes into check_
  std::string refusal_;
};

}  // namespace

fs::path download_folder(const fs::path& temp_folder) {
  fs::path folder = temp_folder / "Kolvaren";
  try {
    files::make_private_folder(folder, "download folder");
  } catch (const fs::filesystem_error& error) {
    throw std::runtime_error("cannot create the download folder " +
                             files::utf8_of(folder) + ": " + describe(error.code()));
  }
  return folder;
}

Outcome download_package(http::Client& client, const PackageRequest& request,
                         ProgressSink& progress) {
  http::Request get;
  get.url = request.url;
  get.query = {{"file_path", request.file_path}};
  get.ca_bundle = request.ca_bundle;
  get.proxy = request.proxy;
  get.connect_timeout = 60s;
  get.read_timeout = 60s;
  get.head_timeout = 60s;
  get.max_body = request.max_size != 0 ? request.max_size : TVLIB_MAX_DOWNLOAD;
  get.min_body_rate = request.min_rate;
  get.min_body_period = request.min_rate_period;
  PackageWriter writer(request, progress);
  client.stream(get, writer);
  return writer.outcome();
}

}  // namespace tvlib::download
