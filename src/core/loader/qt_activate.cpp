#include "core/loader/qt_activate.hpp"

#include <charconv>
#include <string>

#include "core/loader/loaded_function.hpp"

namespace tvlib::loader {

namespace {

// The leading number of `text`, and what follows it.
bool take_number(std::string_view& text, int& number) {
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, number);
  if (error != std::errc{} || rest == text.data()) {
    return false;
  }
  text.remove_prefix(static_cast<std::size_t>(rest - text.data()));
  return true;
}

}  // namespace

bool qt_version_tested(std::string_view version) noexcept {
  int major = 0;
  int minor = 0;
  if (!take_number(version, major) || !version.starts_with('.')) {
    return false;
  }
  version.remove_prefix(1);
  if (!take_number(version, minor) || !(version.empty() || version.starts_with('.'))) {
    return false;
  }
  return (major == 5 && minor == 15) || (major == 6 && minor >= 5 && minor <= 12);
}

// The lookup the progress signals have used so far, unchanged: on POSIX
// through the QtCore module's handle, on Windows in the one Qt6Core.dll or
// Qt5Core.dll of the process.
void* find_qt_activate(const std::filesystem::path& qtcore_module) noexcept {
  try {
    LoadedLibrary library;
    library.searched_from = qtcore_module;
    library.one_of = {L"Qt6Core.dll", L"Qt5Core.dll"};
    return find_loaded_function(library,
                                {"?activate@QMetaObject@@SAXPEAVQObject@@HPEAPEAX@Z",
                                 "_ZN11QMetaObject8activateEP7QObjectiPPv"});
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tvlib::loader
