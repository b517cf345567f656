// The account store: the user's account record, one JSON object in one file.
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <optional>
#include <string>

#include "binding/python_text.hpp"
#include "core/files/path_text.hpp"
#include "core/files/user_folders.hpp"
#include "core/files/whole_file.hpp"
#include "tvcore/tvcore.hpp"

namespace tvlib::tvcore {

namespace fs = std::filesystem;

namespace {

fs::path account_file() {
  const py::object chosen =
      py::module_::import("os").attr("environ").attr("get")("KOLVAREN_ACCOUNT_FILE");
  if (!chosen.is_none() && !py::str(chosen).cast<std::string>().empty()) {
    // pybind11 hands the str over as UTF-16 on Windows: no code page between.
    return chosen.cast<fs::path>();
  }
  return files::plugin_config_folder() / "account.json";
}

py::object load_account() {
  const fs::path path = account_file();
  std::optional<std::string> bytes;
  {
    py::gil_scoped_release unlocked;
    bytes = files::read_whole_file(path);
  }
  if (!bytes) {
    return py::none();
  }
  py::object record;
  try {
    record = py::module_::import("json").attr("loads")(py::bytes(*bytes));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) {
      throw;
    }
    throw py::value_error("the account record " + files::utf8_of(path) +
                          " is not valid JSON: " + binding::message_of(e));
  }
  if (!py::isinstance<py::dict>(record)) {
    throw py::value_error("the account record " + files::utf8_of(path) +
                          " is not a JSON object");
  }
  return record;
}

void save_account(const py::object& record) {
  if (!py::isinstance<py::dict>(record)) {
    throw py::type_error("the account record must be a dict, not " +
                         binding::text_of(py::type::of(record).attr("__name__")));
  }
  const fs::path path = account_file();
  const std::string text =
      py::str(py::module_::import("json").attr("dumps")(
                  record, py::arg("ensure_ascii") = false, py::arg("indent") = 2))
          .cast<std::string>() +
      "\n";
  py::gil_scoped_release unlocked;
  files::replace_whole_file(path, text);
}

}  // namespace

void init_account_store(py::module_& m) {
  m.def(
      "_account_file", [] { return account_file(); },
      "Where the account store keeps its record (for the support report).");
  m.def("load_account", &load_account,
        "The stored account record as a dict, or None when none is stored.");
  m.def("save_account", &save_account, py::arg("record"),
        "Replaces the stored account record atomically.");
}

}  // namespace tvlib::tvcore
