#include <windows.h>

#include <string>
#include <system_error>

#include "core/files/path_text.hpp"
#include "core/files/private_folder.hpp"

namespace tvlib::files {

namespace fs = std::filesystem;

// A folder created here inherits the ACL of the user's temporary folder;
// where TMP or TEMP name a shared folder, a junction planted in its place
// would lead the download elsewhere, so a reparse point is refused.
void make_private_folder(const fs::path& folder, std::string_view role) {
  if (folder.has_parent_path()) {
    fs::create_directories(folder.parent_path());
  }
  if (!CreateDirectoryW(folder.c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    throw fs::filesystem_error(
        "cannot create the folder", folder,
        std::error_code(static_cast<int>(GetLastError()), std::system_category()));
  }
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    throw fs::filesystem_error(
        "cannot look at the folder", folder,
        std::error_code(static_cast<int>(GetLastError()), std::system_category()));
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    throw UnsafeFolder("the " + std::string(role) + " " + utf8_of(folder) +
                       " is refused: it is a junction or symbolic link, which "
                       "someone else may have planted");
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    throw fs::filesystem_error("cannot create the folder", folder,
                               std::make_error_code(std::errc::file_exists));
  }
}

}  // namespace tvlib::files
