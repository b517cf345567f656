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

// Why `name` cannot be a package's file name, in plain words ("'x' is not a
// file name", "'NUL.ms' is a device name on Windows", ...), or the empty text
// when it can. Beyond is_plain_file_name() it refuses, on every platform since
// the hosts run on Windows: the update record's name (update.ini, any case),
// which would let the record overwrite the verified package; Windows device
// names with or without an extension, any case (CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, COM0-9, LPT0-9 and COM/LPT with a superscript 1, 2 or 3), whose
// writes would go to the device; and names ending in a dot or a space, which
// Windows drops, so the file written would not be the file named.
std::string package_name_fault(std::string_view name);

// `name` (UTF-8) as an entry of `folder`, whatever the platform would make of
// it as a path of its own: on Windows `folder / "D:x.ms"` is "D:x.ms", a file
// on another drive. Joined here, such a name stays the last component, where
// is_plain_file_name() refuses it.
std::filesystem::path entry_of(const std::filesystem::path& folder,
                               std::string_view name);

}  // namespace tvlib::files
