#include <share.h>

#include "core/files/writable_file.hpp"

namespace tvlib::files {

// The wide call keeps non-ASCII names intact. _SH_DENYWR lets the host and
// virus scanners read the package while it arrives but no one else write it;
// "N" keeps the handle out of programs the host starts meanwhile, which would
// otherwise hold the file open after the download ends.
std::FILE* open_for_writing(const std::filesystem::path& path) {
  return _wfsopen(path.c_str(), L"wbN", _SH_DENYWR);
}

}  // namespace tvlib::files
