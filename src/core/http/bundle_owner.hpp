// Whether someone other than the user could change a certificate bundle: a
// file that decides whom the requests trust must be as much the user's own
// as the requests' credentials are.
#pragma once

#include <optional>
#include <string>

namespace tvlib::http {

// Why another local user could change the file at `path` (UTF-8), in words
// that follow "as": "its group may write it", "it lies in /srv/ca, which
// other users may write", ...; nothing when only the user and the
// administrator can. A file or folder counts as changeable when it belongs to
// someone else, or when others may write it; a folder that others may write
// is safe only with the sticky bit (as /tmp), which keeps them from replacing
// what they do not own. Links are judged where they lie and where they lead.
// Nothing as well when the file cannot be looked at: reading it then fails
// with its own text.
std::optional<std::string> bundle_exposure(const std::string& path);

}  // namespace tvlib::http
