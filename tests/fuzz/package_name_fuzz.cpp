// The local name of a package, from any path the service may send: the last
// component never holds a separator, and a name that is accepted stays inside
// the download folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/files/package_name.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view path(reinterpret_cast<const char*>(data), size);
  const std::string name = tvlib::files::last_component(path);
  if (name.find_first_of("/\\") != std::string::npos || !path.ends_with(name)) {
    std::abort();
  }
  const std::string fault = tvlib::files::package_name_fault(name);
  if (fault.empty() && !tvlib::files::is_plain_file_name(name)) {
    std::abort();  // a name that is not even plain was accepted
  }
  if (!fault.empty()) {
    return 0;
  }
  // What Windows would turn into another file, or a device, never passes.
  std::string lowered = name;
  for (char& c : lowered) {
    c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::string stem = lowered.substr(0, lowered.find('.'));
  while (!stem.empty() && stem.back() == ' ') {
    stem.pop_back();
  }
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view(":\0", 2)) != std::string::npos ||
      name.back() == '.' || name.back() == ' ' || lowered == "update.ini" ||
      stem == "con" || stem == "nul" || stem == "aux" || stem == "prn" ||
      ((stem.starts_with("com") || stem.starts_with("lpt")) && stem.size() == 4 &&
       stem[3] >= '0' && stem[3] <= '9')) {
    std::abort();
  }
  const std::filesystem::path folder = "/downloads/Kolvaren";
  const std::filesystem::path target = folder / name;
  if (target.parent_path() != folder || target.filename() != name ||
      target.lexically_normal() != target) {
    std::abort();
  }
  return 0;
}
