// The hand-over of a downloaded package's hold from the download worker's
// thread to the completion on the UI thread, which releases it once the
// host's filein has returned. Kept by the package's path, not in the
// download_complete payload: hosts see that dict, and its keys stay as they
// were.
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "core/files/file_hold.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

std::mutex holds_mutex;
std::map<std::string, files::FileHold>& holds() {
  static std::map<std::string, files::FileHold> held;
  return held;
}

}  // namespace

void keep_package_hold(const std::string& path, files::FileHold hold) {
  const std::scoped_lock lock(holds_mutex);
  if (hold.is_open()) {
    holds()[path] = std::move(hold);
  } else {
    holds().erase(path);
  }
}

files::FileHold take_package_hold(const std::string& path) {
  const std::scoped_lock lock(holds_mutex);
  const auto found = holds().find(path);
  if (found == holds().end()) {
    return {};
  }
  files::FileHold hold = std::move(found->second);
  holds().erase(found);
  return hold;
}

}  // namespace tvlib::tvupd
