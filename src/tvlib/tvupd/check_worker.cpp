// CheckWorker: decides on its own thread whether a release is to be offered.
#include <string>

#include "binding/python_class.hpp"
#include "binding/python_text.hpp"
#include "binding/qt_call.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

constexpr const char* missing_release_notes = "Güncelleme notları bulunamadı.";

py::object member(const py::object& record, const char* name,
                  const py::object& fallback = py::none()) {
  return record.attr("get")(name, fallback);
}

void no_update(const py::object& self, const std::string& code_or_error) {
  binding::emit(self, "no_update", self.attr("manuel_update"), false, code_or_error);
}

// The sequence of the check; every way out emits exactly one signal. Errors
// propagate to `run`, which reports them.
void check(const py::object& self) {
  const py::object record = client().load_account();
  if (!binding::is_true(record)) {
    no_update(self, "001");
    return;
  }
  const py::object account = member(record, account_part);
  if (!py::isinstance<py::dict>(account)) {
    throw py::value_error(std::string("the account record has no \"") + account_part +
                          "\" object with the credentials");
  }
  const py::object email = member(account, email_field);
  const py::object license_key = member(account, license_key_field);
  const py::object package_type = member(account, package_selector);
  const py::object installed = member(record, installed_version_key, py::float_(1.0));
  if (!binding::is_true(email) || !binding::is_true(license_key) ||
      !binding::is_true(package_type)) {
    no_update(self, "002");
    return;
  }

  const py::object token = self.attr("generate_jwt_token")(email, license_key);
  if (!binding::is_true(token)) {
    no_update(self, "004");
    return;
  }

  const py::object version_offset = self.attr("version_offset");
  const py::object release =
      self.attr("get_latest_release")(token, package_type, email, version_offset);
  if (!binding::is_true(release)) {
    no_update(self, "005");
    return;
  }

  const py::object offered = member(release, "kolvaren_version");
  if (binding::is_true(version_offset)) {
    // An earlier release is asked for: anything but the installed one is offered.
    if (same_version(offered, installed)) {
      no_update(self, "006");
      return;
    }
  } else if (!binding::is_true(self.attr("compare_versions")(offered, installed))) {
    no_update(self, "006");
    return;
  }

  py::dict payload;
  payload["version"] = offered;
  payload["release_notes"] =
      member(release, "release_notes", py::str(missing_release_notes));
  payload["is_silent"] = member(release, "is_silent");
  payload["file_path"] = member(release, "file_path");
  payload["jwt_token"] = token;
  payload["is_mandatory"] = member(release, "is_mandatory");
  binding::emit(self, "update_found", self.attr("manuel_update"), payload);
}

void run(const py::object& self) {
  run_worker(self, "KolvarenUpdater.CheckWorker.run", &check, &no_update);
}

}  // namespace

py::object make_check_worker_class() {
  const py::object qthread = client().env.qt.core.attr("QThread");
  py::dict ns;
  ns["update_found"] = signal({"bool", "object"});
  ns["no_update"] = signal({"bool", "bool", "str"});
  ns["__init__"] = binding::method(
      "__init__", "self, manuel_update=False, version_offset=None",
      py::cpp_function([qthread](const py::object& self,
                                 const py::object& manuel_update,
                                 const py::object& version_offset) {
        qthread.attr("__init__")(self);
        self.attr("manuel_update") = py::bool_(binding::is_true(manuel_update));
        self.attr("version_offset") =
            version_offset.is_none() ? py::int_(0) : version_offset;
      }));
  ns["run"] = binding::method("run", "self", py::cpp_function(&run));
  ns["generate_jwt_token"] = binding::method(
      "generate_jwt_token", "self, email, license_key",
      py::cpp_function([](const py::object& /*self*/, const py::object& email,
                          const py::object& license_key) {
        return generate_jwt_token(email, license_key);
      }));
  ns["get_latest_release"] = binding::method(
      "get_latest_release", "self, token, p_type, email, version_offset",
      py::cpp_function([](const py::object& /*self*/, const py::object& token,
                          const py::object& p_type, const py::object& email,
                          const py::object& version_offset) {
        return get_latest_release(token, p_type, email, version_offset);
      }));
  ns["compare_versions"] = binding::method(
      "compare_versions", "self, latest, current",
      py::cpp_function(
          [](const py::object& /*self*/, const py::object& latest,
             const py::object& current) { return compare_versions(latest, current); }));
  add_lifetime_slot(ns);
  return binding::make_class("tvlib.tvupd", "KolvarenUpdater.CheckWorker", qthread, ns);
}

}  // namespace tvlib::tvupd
