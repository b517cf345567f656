// tvupd: the update client module.
#include <pybind11/pybind11.h>

#include "core/http/client.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

void tvupd(const py::object& manuel_update, const py::object& version_offset);
void support_report();

namespace {
// Never destroyed: see tvcore's module for why.
UpdateClient* g_client = nullptr;

// The host may not carry the release-notes dialog, and completion copes with
// its absence. Only that absence passes in silence: a dialog module that is
// there but fails to load (a syntax error, a missing dependency of its own) is
// reported on the console. The update client loads either way: a broken dialog
// must not take the updates down with it.
void import_release_notes_dialog(py::module_& m) {
  constexpr const char* name = "KolvarenReleasesDialog";
  try {
    m.attr(name) = py::module_::import(name);
  } catch (py::error_already_set& e) {
    // ModuleNotFoundError names the module that was not found: ours when the
    // host has none (or has blocked it with None in sys.modules), another one
    // when the dialog's own imports fail.
    const bool absent = e.matches(PyExc_ModuleNotFoundError) &&
                        py::getattr(e.value(), "name", py::none()).equal(py::str(name));
    if (!absent) {
      e.discard_as_unraisable("tvlib.tvupd: importing KolvarenReleasesDialog");
    }
  }
}

void init_module(py::module_& m) {
  g_client = new UpdateClient{binding::start_in_host(), m, {}, {}, {}};
  m.attr("rt") = host().runtime();

  // Transport failures reach Python callers as OSError subclasses with our text.
  py::register_local_exception_translator([](std::exception_ptr error) {
    try {
      if (error) {
        std::rethrow_exception(error);
      }
    } catch (const http::TransportError& e) {
      PyErr_SetString(e.kind() == http::FailureKind::read_timeout ||
                              e.kind() == http::FailureKind::connect_timeout
                          ? PyExc_TimeoutError
                          : PyExc_ConnectionError,
                      e.what());
    }
  });

  const py::module_ package = py::module_::import("tvlib");
  g_client->baur = package.attr("baur");
  g_client->load_account = package.attr("load_account");
  g_client->save_account = package.attr("save_account");

  import_release_notes_dialog(m);

  // Progress signals go through Qt itself where it can be reached; tests set
  // this False to run the path through Python's emit().
  m.attr("_direct_signals") = true;
  m.attr("KolvarenUpdater") = make_updater_class();
  stop_downloads_at_exit();
  m.def("tvupd", &tvupd, py::arg("manuel_update") = false,
        py::arg("version_offset") = py::none(),
        "Starts an update run, replacing the updater of an earlier run.");
  m.def(
      "support_report", &support_report,
      "Prints what support asks first: versions, trust, proxy, account file, health.");
  m.def("_running_workers", &running_workers,
        "The started workers whose threads have not finished yet.");
}
}  // namespace

UpdateClient& client() { return *g_client; }
const binding::HostBridge& host() { return g_client->env.host; }

}  // namespace tvlib::tvupd

PYBIND11_MODULE(tvupd, m) { tvlib::tvupd::init_module(m); }
