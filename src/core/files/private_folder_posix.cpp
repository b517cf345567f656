#include <fcntl.h>
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

std::string refusal(const fs::path& folder, std::string_view role) {
  return "the " + std::string(role) + " " + utf8_of(folder) + " is refused: ";
}

[[noreturn]] void fail(const char* what, const fs::path& folder, int error) {
  throw fs::filesystem_error(what, folder,
                             std::error_code(error, std::generic_category()));
}

// Owner and mode of the folder itself.
void check_own_folder(const struct stat& status, const fs::path& folder,
                      std::string_view role) {
  if (status.st_uid != ::geteuid()) {
    throw UnsafeFolder(refusal(folder, role) + "it belongs to another user (user id " +
                       std::to_string(status.st_uid) + ")");
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw UnsafeFolder(refusal(folder, role) + "other users may write in it (mode " +
                       octal_mode(status.st_mode) + ")");
  }
}

// Whoever may rename entries of a folder above ours could move ours aside and
// put another in its place; the sticky bit limits that to each entry's owner.
void check_folders_above(const fs::path& folder, std::string_view role) {
  std::error_code error;
  fs::path above = fs::canonical(folder.parent_path(), error);
  if (error) {
    fail("cannot look at the folder", folder.parent_path(), error.value());
  }
  for (;;) {
    struct stat status {};
    if (::stat(above.c_str(), &status) != 0) {
      fail("cannot look at the folder", above, errno);
    }
    if (status.st_uid != ::geteuid() && status.st_uid != 0) {
      throw UnsafeFolder(refusal(folder, role) + "the folder " + utf8_of(above) +
                         " above it belongs to another user (user id " +
                         std::to_string(status.st_uid) + ")");
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
        (status.st_mode & S_ISVTX) == 0) {
      throw UnsafeFolder(refusal(folder, role) +
                         "other users may write in the folder " + utf8_of(above) +
                         " above it, which lacks the sticky bit (mode " +
                         octal_mode(status.st_mode) +
                         "), so they could put another folder in its place");
    }
    if (above == above.root_path() || !above.has_parent_path()) {
      return;
    }
    above = above.parent_path();
  }
}

}  // namespace

void make_private_folder(const fs::path& folder, std::string_view role) {
  if (folder.has_parent_path()) {
    fs::create_directories(folder.parent_path());
  }
  check_folders_above(fs::absolute(folder), role);
  // mkdir itself gives 0700 (the umask can only take bits away), so a new
  // folder is never open to others, not even for a moment.
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    fail("cannot create the folder", folder, errno);
  }
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0) {
    fail("cannot look at the folder", folder, errno);
  }
  if (S_ISLNK(status.st_mode)) {
    throw UnsafeFolder(refusal(folder, role) +
                       "it is a symbolic link, which someone else may have planted");
  }
  if (!S_ISDIR(status.st_mode)) {
    throw fs::filesystem_error("cannot create the folder", folder,
                               std::make_error_code(std::errc::file_exists));
  }
  check_own_folder(status, folder, role);
}

OpenFolder OpenFolder::open(const fs::path& folder, std::string_view role) {
  const int fd =
      ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) {
      throw UnsafeFolder(refusal(folder, role) +
                         "it is a symbolic link, which someone else may have planted");
    }
    fail("cannot open the folder", folder, errno);
  }
  OpenFolder opened(folder, std::string(role), fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    fail("cannot look at the folder", folder, errno);
  }
  check_own_folder(status, folder, role);
  return opened;
}

OpenFolder::OpenFolder(OpenFolder&& other) noexcept
    : path_(std::move(other.path_)),
      role_(std::move(other.role_)),
      native_(std::exchange(other.native_, -1)) {}

OpenFolder& OpenFolder::operator=(OpenFolder&& other) noexcept {
  if (this != &other) {
    if (native_ >= 0) {
      ::close(static_cast<int>(native_));
    }
    path_ = std::move(other.path_);
    role_ = std::move(other.role_);
    native_ = std::exchange(other.native_, -1);
  }
  return *this;
}

OpenFolder::~OpenFolder() {
  if (native_ >= 0) {
    ::close(static_cast<int>(native_));
  }
}

// As create_new_file(): never what is already there, a link included, mode
// 0600, not inherited by child processes.
std::FILE* OpenFolder::create_new_file(const fs::path& name) const {
  const int fd = ::openat(static_cast<int>(native_), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot create " + utf8_of(path_ / name));
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    ::unlinkat(static_cast<int>(native_), name.c_str(), 0);
    throw std::system_error(error, std::generic_category(),
                            "cannot create " + utf8_of(path_ / name));
  }
  return file;
}

void OpenFolder::rename(const fs::path& from, const fs::path& to) const {
  const int folder = static_cast<int>(native_);
  if (::renameat(folder, from.c_str(), folder, to.c_str()) != 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot rename " + utf8_of(path_ / from));
  }
}

void OpenFolder::remove(const fs::path& name, std::error_code& error) const noexcept {
  error.clear();
  if (::unlinkat(static_cast<int>(native_), name.c_str(), 0) != 0 && errno != ENOENT) {
    error.assign(errno, std::generic_category());
  }
}

void OpenFolder::check_in_place() const {
  struct stat held {};
  struct stat named {};
  if (::fstat(static_cast<int>(native_), &held) != 0 ||
      ::lstat(path_.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
      held.st_ino != named.st_ino) {
    throw UnsafeFolder(refusal(path_, role_) +
                       "it was moved or replaced while the package was written");
  }
}

}  // namespace tvlib::files
