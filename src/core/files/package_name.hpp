// The local file name of a package named by the release service.
#pragma once

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

}  // namespace tvlib::files
