// The update client module: what its files share.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>

#include "binding/module_startup.hpp"
#include "core/files/file_hold.hpp"

namespace tvlib::tvupd {

namespace py = pybind11;

// Bound once when the module loads.
struct UpdateClient {
  binding::HostEnvironment env;
  py::module_ module;
  py::object baur;          // tvlib.baur
  py::object load_account;  // tvlib.load_account
  py::object save_account;  // tvlib.save_account
};

UpdateClient& client();
const binding::HostBridge& host();

// Names under which the account record keeps what the check needs; the
// credentials travel on the wire under the same names.
inline constexpr const char* account_part = "account";
inline constexpr const char* email_field = "email";
inline constexpr const char* license_key_field = "license_key";
inline constexpr const char* package_selector = "package_type";
inline constexpr const char* installed_version_key = "kolvaren_version";

inline constexpr std::chrono::seconds service_timeout{10};
// Whole-request limits, whatever the single waits: the health check holds the
// host's interface thread, so it has the shorter one.
inline constexpr std::chrono::seconds health_deadline{30};
inline constexpr std::chrono::seconds service_deadline{60};

// The classes, built in this order when the module loads.
py::object make_check_worker_class();
py::object make_download_worker_class();
py::object make_updater_class();

// Parts of the updater's class body, one file each.
void add_notification_slots(py::dict& ns);
void add_update_offer(py::dict& ns);
void add_download_completion(py::dict& ns);

// Holds a started worker until its thread has finished: Qt aborts the host
// process when a running QThread is destroyed.
void add_lifetime_slot(py::dict& ns);
void start_and_keep(const py::object& worker);
// The workers whose threads have not finished yet (for tests and diagnostics).
py::list running_workers();

// A worker's `run`: `body`, and if it throws, `report` with the error's text;
// a Python error from `report` goes to the host as unraisable, named `name`,
// any other failure of it is dropped. Nothing leaves it.
using WorkerBody = void (*)(const py::object& self);
using FailureReport = void (*)(const py::object& self, const std::string& error);
void run_worker(const py::object& self, const char* name, WorkerBody body,
                FailureReport report);

// A download while it runs, on its worker thread: its stop flag, set when
// the host closes (its application quits or the interpreter exits).
class RunningDownload {
 public:
  RunningDownload();  // with the GIL
  ~RunningDownload();
  RunningDownload(const RunningDownload&) = delete;
  RunningDownload& operator=(const RunningDownload&) = delete;
  RunningDownload(RunningDownload&&) = delete;
  RunningDownload& operator=(RunningDownload&&) = delete;
  [[nodiscard]] const std::atomic<bool>& stop() const { return *stop_; }

 private:
  std::shared_ptr<std::atomic<bool>> stop_;
};

// UI thread, with the GIL, for every download worker made: downloads stop
// when this process's application quits (connected once per application),
// and the closing waits for this worker's thread.
void watch_host_closing(const py::object& worker);
// When the module loads: downloads stop when the interpreter exits.
void stop_downloads_at_exit();

// Whether the interpreter is being finalized; without the GIL too. A thread
// must not take the GIL then.
bool interpreter_finalizing() noexcept;

// Lets go of the GIL for its scope. Taking it back while the interpreter is
// finalizing would end the thread in the middle of our frames (or hang it):
// the thread stays parked instead, holding nothing, until the process ends.
class WithoutGil {
 public:
  WithoutGil();
  ~WithoutGil();
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  WithoutGil(WithoutGil&&) = delete;
  WithoutGil& operator=(WithoutGil&&) = delete;

 private:
  PyThreadState* state_;
};

// A downloaded package's hold (files::FileHold), kept with the worker that
// verified it until the completion of that worker's result takes it.
// `path` is the worker's own spelling of the package's path: keeping a hold,
// or release_package_hold() when a later download of the same file starts,
// releases the one an earlier worker kept for it.
void keep_package_hold(const py::object& worker, const std::string& path,
                       files::FileHold hold);
void release_package_hold(const std::string& path);
// The hold kept with `worker` (none when there is none), taken from it.
files::FileHold take_package_hold(const py::object& worker);

// The release service's routes.
// GET of the health route; the reply's status. Throws http::TransportError.
long health_status();
py::object generate_jwt_token(const py::object& email, const py::object& license_key);
py::object get_latest_release(const py::object& token, const py::object& package_type,
                              const py::object& email,
                              const py::object& version_offset);

// Versions.
bool compare_versions(const py::object& latest, const py::object& current);
bool same_version(const py::object& offered, const py::object& installed);

// Signal declarations: `object` carries a dict unchanged; PySide6 would turn
// a `dict` payload into a QVariantMap, sorting its keys and mangling values
// that do not fit a QVariant (an integer beyond 64 bits becomes -1).
py::object signal(std::initializer_list<const char*> types);

}  // namespace tvlib::tvupd
