#include "core/files/whole_file.hpp"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <system_error>

#include "core/files/path_text.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

namespace tvlib::files {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(int error, const std::string& what, const fs::path& path) {
  throw std::system_error(error, std::generic_category(), what + " " + utf8_of(path));
}

// "<name>.tmp-<pid>-<n>" beside `path`: the writer's process id, or nothing
// when `file` is not such a name.
std::optional<unsigned long> temporary_owner(const fs::path& path,
                                             const fs::path& file) {
  const std::string prefix = utf8_of(path.filename()) + ".tmp-";
  const std::string name = utf8_of(file.filename());
  if (!name.starts_with(prefix)) {
    return std::nullopt;
  }
  const std::string_view rest = std::string_view(name).substr(prefix.size());
  const std::size_t dash = rest.find('-');
  const auto digits = [](std::string_view text) {
    return !text.empty() && text.size() <= 19 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (dash == std::string_view::npos || !digits(rest.substr(0, dash)) ||
      !digits(rest.substr(dash + 1))) {
    return std::nullopt;
  }
  unsigned long pid = 0;
  const std::string_view text = rest.substr(0, dash);
  if (std::from_chars(text.data(), text.data() + text.size(), pid).ec != std::errc()) {
    return std::nullopt;
  }
  return pid;
}

unsigned long current_process() {
#ifdef _WIN32
  return static_cast<unsigned long>(GetCurrentProcessId());
#else
  return static_cast<unsigned long>(getpid());
#endif
}

// False only when the process is known to be gone; a process we may not look
// at still runs.
bool process_runs(unsigned long pid) {
#ifdef _WIN32
  HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) {
    return GetLastError() == ERROR_ACCESS_DENIED;
  }
  DWORD code = 0;
  const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return !ended;
#else
  if (pid == 0 || pid > static_cast<unsigned long>(std::numeric_limits<pid_t>::max())) {
    return false;
  }
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#endif
}

}  // namespace

fs::path temporary_sibling(const fs::path& path) {
  // 62 random bits: nobody can guess the name ahead and plant something there.
  // At most 19 digits, as temporary_owner() reads them.
  static std::mutex mutex;
  static std::random_device source;
  std::uint64_t token = 0;
  {
    const std::scoped_lock lock(mutex);
    token = (std::uint64_t{source()} << 30U) ^ std::uint64_t{source()};
  }
  token &= (std::uint64_t{1} << 62U) - 1;
  fs::path tmp = path;
  tmp += ".tmp-" + std::to_string(current_process()) + "-" + std::to_string(token);
  return tmp;
}

void remove_stale_temporaries(const fs::path& path) {
  using namespace std::chrono_literals;
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) {
    return;
  }
  const auto now = fs::file_time_type::clock::now();
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) {
      return;
    }
    const std::optional<unsigned long> owner = temporary_owner(path, it->path());
    if (!owner) {
      continue;
    }
    const auto written = fs::last_write_time(it->path(), error);
    const bool old = !error && now - written > 24h;
    const bool orphaned = *owner != current_process() && !process_runs(*owner);
    if (old || orphaned) {
      fs::remove(it->path(), error);
    }
  }
}

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
  remove_stale_temporaries(path);
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
  try {
    move_into_place(tmp, path);
  } catch (...) {
    DeleteFileW(tmp.c_str());
    throw;
  }
}

void move_into_place(const fs::path& from, const fs::path& to) {
  // A scanner may hold the old file for a moment; a few short retries ride it out.
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return;
    }
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        attempt == 20) {
      throw std::system_error(static_cast<int>(error), std::system_category(),
                              "cannot replace " + utf8_of(to));
    }
    Sleep(50);
  }
}

#else

void replace_whole_file(const fs::path& path, std::string_view bytes) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  fs::create_directories(folder);
  remove_stale_temporaries(path);
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
  try {
    move_into_place(tmp, path);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
}

void move_into_place(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    fail(errno, "cannot replace", to);
  }
  // The rename itself must reach the disk too, or a crash may bring back the old name.
  const fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

#endif

}  // namespace tvlib::files
