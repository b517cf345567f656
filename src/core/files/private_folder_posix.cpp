#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "core/files/path_text.hpp"
#include "core/files/private_folder.hpp"

namespace tvlib::files {

namespace fs = std::filesystem;

namespace {

std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

void make_private_folder(const fs::path& folder, std::string_view role) {
  if (folder.has_parent_path()) {
    fs::create_directories(folder.parent_path());
  }
  // mkdir itself gives 0700 (the umask can only take bits away), so a new
  // folder is never open to others, not even for a moment.
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw fs::filesystem_error("cannot create the folder", folder,
                               std::error_code(errno, std::generic_category()));
  }
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0) {
    throw fs::filesystem_error("cannot look at the folder", folder,
                               std::error_code(errno, std::generic_category()));
  }
  const std::string refused =
      "the " + std::string(role) + " " + utf8_of(folder) + " is refused: ";
  if (S_ISLNK(status.st_mode)) {
    throw UnsafeFolder(refused +
                       "it is a symbolic link, which someone else may have planted");
  }
  if (!S_ISDIR(status.st_mode)) {
    throw fs::filesystem_error("cannot create the folder", folder,
                               std::make_error_code(std::errc::file_exists));
  }
  if (status.st_uid != ::geteuid()) {
    throw UnsafeFolder(refused + "it belongs to another user (user id " +
                       std::to_string(status.st_uid) + ")");
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw UnsafeFolder(refused + "other users may write in it (mode " +
                       octal_mode(status.st_mode) + ")");
  }
}

}  // namespace tvlib::files
