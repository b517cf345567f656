#include "core/download/package_download.hpp"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

#include "core/download/progress.hpp"
#include "core/files/package_name.hpp"

namespace tvlib::download {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string system_message(int error) { return std::generic_category().message(error); }

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
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
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

  void on_head(const http::Head& head) override {
    status_ = head.status;
    if (status_ != 200) {
      return;
    }
    total_ = announced_size(head);
    const std::string name = request_.local_path.filename().string();
    if (!files::is_plain_file_name(name)) {
      throw std::runtime_error("cannot write the package to " +
                               request_.local_path.string() + ": '" + name +
                               "' is not a file name");
    }
    file_.reset(std::fopen(request_.local_path.c_str(), "wb"));
    if (!file_) {
      throw std::runtime_error("cannot open " + request_.local_path.string() +
                               " for writing: " + system_message(errno));
    }
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
    if (std::fwrite(piece.data(), 1, piece.size(), file_.get()) != piece.size()) {
      throw std::runtime_error("cannot write " + request_.local_path.string() + ": " +
                               system_message(errno));
    }
    downloaded_ += piece.size();
    if (total_ > 0) {
      progress_.on_percentage(percentage(downloaded_, total_));
    }
  }

  void on_end() override {
    if (file_) {
      std::FILE* f = file_.release();
      // fclose flushes what stdio still buffers; a full disk shows up here.
      if (std::fclose(f) != 0) {
        throw std::runtime_error("cannot write " + request_.local_path.string() + ": " +
                                 system_message(errno));
      }
    }
  }

  [[nodiscard]] Outcome outcome() {
    if (status_ == 200) {
      return Completed{downloaded_};
    }
    return Refused{status_, std::move(refusal_)};
  }

 private:
  const PackageRequest& request_;
  ProgressSink& progress_;
  long status_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t downloaded_ = 0;
  File file_;
  std::string refusal_;
};

}  // namespace

fs::path download_folder(const fs::path& temp_folder) {
  fs::path folder = temp_folder / "Kolvaren";
  fs::create_directories(folder);
  return folder;
}

Outcome download_package(http::Client& client, const PackageRequest& request,
                         ProgressSink& progress) {
  http::Request get;
  get.url = request.url;
  get.query = {{"file_path", request.file_path}};
  get.connect_timeout = 60s;
  get.read_timeout = 60s;
  PackageWriter writer(request, progress);
  client.stream(get, writer);
  return writer.outcome();
}

}  // namespace tvlib::download
