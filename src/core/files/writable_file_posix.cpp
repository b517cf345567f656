#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/files/path_text.hpp"
#include "core/files/writable_file.hpp"

namespace tvlib::files {

// POSIX has no share modes; O_CLOEXEC keeps the descriptor out of child
// processes.
std::FILE* create_new_file(const std::filesystem::path& path) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot create " + utf8_of(path));
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    throw std::system_error(error, std::generic_category(),
                            "cannot create " + utf8_of(path));
  }
  return file;
}

}  // namespace tvlib::files
