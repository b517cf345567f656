#include "core/files/whole_file.hpp"

#include <atomic>
#include <cerrno>
#include <fstream>
#include <string>
#include <system_error>

#include "core/files/path_text.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tvlib::files {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(int error, const std::string& what, const fs::path& path) {
  throw std::system_error(error, std::generic_category(), what + " " + utf8_of(path));
}

// A name no other writer in this or another process uses at the same time.
fs::path temporary_sibling(const fs::path& path) {
  static std::atomic<unsigned long> counter{0};
#ifdef _WIN32
  const auto pid = static_cast<unsigned long>(GetCurrentProcessId());
#else
  const auto pid = static_cast<unsigned long>(getpid());
#endif
  fs::path tmp = path;
  tmp += ".tmp-" + std::to_string(pid) + "-" + std::to_string(++counter);
  return tmp;
}

}  // namespace

std::optional<std::string> read_whole_file(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    if (ec && ec != std::errc::no_such_file_or_directory) {
      throw std::system_error(ec, "cannot read " + utf8_of(path));
    }
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fail(errno, "cannot open", path);
  }
  std::string bytes((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
  if (in.bad()) {
    fail(errno, "cannot read", path);
  }
  return bytes;
}

#ifdef _WIN32

void replace_whole_file(const fs::path& path, std::string_view bytes) {
  if (path.has_parent_path()) {
    fs::create_directories(path.parent_path());
  }
  // No owner-only mode as on POSIX: the per-user profile folder's ACL already
  // keeps other users out, and the file inherits it.
  const fs::path tmp = temporary_sibling(path);
  HANDLE file = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "cannot create " + utf8_of(tmp));
  }
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                            &written, nullptr) &&
                  written == bytes.size() && FlushFileBuffers(file);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) {
    DeleteFileW(tmp.c_str());
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            "cannot write " + utf8_of(tmp));
  }
  // A scanner may hold the old file for a moment; a few short retries ride it out.
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(tmp.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return;
    }
    const DWORD move_error = GetLastError();
    if ((move_error != ERROR_SHARING_VIOLATION && move_error != ERROR_ACCESS_DENIED) ||
        attempt == 20) {
      DeleteFileW(tmp.c_str());
      throw std::system_error(static_cast<int>(move_error), std::system_category(),
                              "cannot replace " + utf8_of(path));
    }
    Sleep(50);
  }
}

#else

void replace_whole_file(const fs::path& path, std::string_view bytes) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  fs::create_directories(folder);
  const fs::path tmp = temporary_sibling(path);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    fail(errno, "cannot create", tmp);
  }
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      ::unlink(tmp.c_str());
      fail(error, "cannot write", tmp);
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    fail(error, "cannot flush", tmp);
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(tmp.c_str());
    fail(error, "cannot replace", path);
  }
  // The rename itself must reach the disk too, or a crash may bring back the old name.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

#endif

}  // namespace tvlib::files
