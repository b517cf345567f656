#include "core/loader/qt_activate.hpp"

#include <bit>
#include <charconv>
#include <optional>

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

void* find_qt_activate(const std::filesystem::path& qtcore_module) noexcept {
  // qVersion (QtCore.qVersion() calls it) leads to the Qt core library the
  // module's calls reach; activate is taken from that library alone.
  const std::optional<ImportedFunction> version =
      find_imported_function(qtcore_module, "qVersion");
  if (!version) {
    return nullptr;
  }
  const auto q_version = std::bit_cast<const char* (*)()>(version->address);
  const char* text = q_version();
  if (text == nullptr || !qt_version_tested(text)) {
    return nullptr;
  }
  // By its linker names: the Itanium C++ ABI (Linux, macOS, MinGW builds of
  // Qt) and MSVC's.
  return version->library.function({"?activate@QMetaObject@@SAXPEAVQObject@@HPEAPEAX@Z",
                                    "_ZN11QMetaObject8activateEP7QObjectiPPv"});
}

}  // namespace tvlib::loader
