// The local file name of a package named by the release service.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tvlib::files {

// The last component of a package path as the Windows host reads it: both "/"
// and "\" separate components and a drive prefix ("C:") is not part of the
// name. A path that ends in a separator gives the empty text.
std::string last_component(std::string_view file_path);

// True when `name` can be used as a file inside the download folder: not
// empty, not "." or "..", no separator, no drive prefix, no NUL.
bool is_plain_file_name(std::string_view name);

// `name` (UTF-8) as an entry of `folder`, whatever the platform would make of
// it as a path of its own: on Windows `folder / "D:x.ms"` is "D:x.ms", a file
// on another drive. Joined here, such a name stays the last component, where
// is_plain_file_name() refuses it.
std::filesystem::path entry_of(const std::filesystem::path& folder,
                               std::string_view name);

}  // namespace tvlib::files
