// The hand-over of a downloaded package's hold from the download worker's
// thread to the completion on the UI thread, which releases it once the
// host's filein has returned. The hold is kept with the worker that verified
// the package, not in the download_complete payload (hosts see that dict, and
// its keys stay as they were) and not by the payload's path, whose spelling
// ("/" or "\", as Python writes it) need not be the worker's. A table by the
// worker's own spelling of the path only lets a later download of the same
// file release a hold that no completion took.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "core/files/file_hold.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

using SharedHold = std::shared_ptr<files::FileHold>;

constexpr const char* hold_attribute = "_package_hold";

std::mutex holds_mutex;
std::map<std::string, std::weak_ptr<files::FileHold>>& holds() {
  static std::map<std::string, std::weak_ptr<files::FileHold>> held;
  return held;
}

}  // namespace

void release_package_hold(const std::string& path) {
  const std::scoped_lock lock(holds_mutex);
  const auto found = holds().find(path);
  if (found == holds().end()) {
    return;
  }
  if (const SharedHold hold = found->second.lock()) {
    hold->release();
  }
  holds().erase(found);
}

void keep_package_hold(const py::object& worker, const std::string& path,
                       files::FileHold hold) {
  release_package_hold(path);
  if (!hold.is_open()) {
    return;
  }
  auto shared = std::make_shared<files::FileHold>(std::move(hold));
  {
    const std::scoped_lock lock(holds_mutex);
    holds()[path] = shared;
  }
  worker.attr(hold_attribute) =
      py::capsule(new SharedHold(std::move(shared)),
                  [](void* held) { delete static_cast<SharedHold*>(held); });
}

files::FileHold take_package_hold(const py::object& worker) {
  if (worker.is_none() || !py::hasattr(worker, hold_attribute)) {
    return {};
  }
  const py::object kept = worker.attr(hold_attribute);
  py::delattr(worker, hold_attribute);
  if (!py::isinstance<py::capsule>(kept)) {
    return {};
  }
  const SharedHold& shared = *kept.cast<py::capsule>().get_pointer<SharedHold>();
  return std::move(*shared);
}

}  // namespace tvlib::tvupd
