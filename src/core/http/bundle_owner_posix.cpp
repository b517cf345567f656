#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "core/files/path_text.hpp"
#include "core/http/bundle_owner.hpp"

namespace tvlib::http {

namespace {

namespace fs = std::filesystem;

bool ours(const struct stat& status) {
  return status.st_uid == ::geteuid() || status.st_uid == 0;
}

std::string other_owner(const struct stat& status) {
  return "another user (uid " + std::to_string(status.st_uid) + ")";
}

// Why others could change the file itself.
std::optional<std::string> file_exposure(const struct stat& status) {
  if (!ours(status)) {
    return "it belongs to " + other_owner(status);
  }
  if ((status.st_mode & S_IWOTH) != 0) {
    return std::string("other users may write it");
  }
  if ((status.st_mode & S_IWGRP) != 0) {
    return std::string("its group may write it");
  }
  return std::nullopt;
}

// Why others could change what lies in `folder`, or the link at `folder`.
std::optional<std::string> folder_exposure(const fs::path& folder,
                                           const struct stat& status) {
  const std::string where = "it lies in " + files::utf8_of(folder) + ", which ";
  if (!ours(status)) {
    return where + "belongs to " + other_owner(status);
  }
  if (S_ISLNK(status.st_mode) || (status.st_mode & S_ISVTX) != 0) {
    return std::nullopt;  // a link's own modes mean nothing
  }
  if ((status.st_mode & S_IWOTH) != 0) {
    return where + "other users may write";
  }
  if ((status.st_mode & S_IWGRP) != 0) {
    return where + "its group may write";
  }
  return std::nullopt;
}

// The folders of `path` from the root down, each judged as folder_exposure
// does: as they are, links among them (`follow` false), or where they lead.
std::optional<std::string> path_exposure(const fs::path& path, bool follow) {
  fs::path prefix;
  for (const fs::path& part : path.parent_path()) {
    prefix /= part;
    struct stat status {};
    if ((follow ? ::stat(prefix.c_str(), &status) : ::lstat(prefix.c_str(), &status)) !=
        0) {
      return std::nullopt;
    }
    if (auto exposure = folder_exposure(prefix, status)) {
      return exposure;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> bundle_exposure(const std::string& path) {
  std::error_code error;
  const fs::path given = fs::absolute(files::path_from_utf8(path), error);
  if (error) {
    return std::nullopt;
  }
  // Where the name lies, links included as they are ...
  if (auto exposure = path_exposure(given, false)) {
    return exposure;
  }
  struct stat link {};
  if (::lstat(given.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && !ours(link)) {
    return "the link " + files::utf8_of(given) + " belongs to " + other_owner(link);
  }
  // ... and where it leads.
  const fs::path real = fs::canonical(given, error);
  struct stat file {};
  if (error || ::stat(real.c_str(), &file) != 0) {
    return std::nullopt;
  }
  if (auto exposure = path_exposure(real, true)) {
    return exposure;
  }
  return file_exposure(file);
}

}  // namespace tvlib::http
