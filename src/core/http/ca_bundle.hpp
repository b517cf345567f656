// The extra certificate authorities of a deployment: a PEM file named by
// KOLVAREN_CA_BUNDLE (tests, inspecting corporate proxies).
#pragma once

#include <string>

namespace tvlib::http {

inline constexpr const char* extra_ca_variable = "KOLVAREN_CA_BUNDLE";

// The file KOLVAREN_CA_BUNDLE names, as UTF-8 text; empty when unset. Read
// through environment_value (wide on Windows, so names such as "Şükrü" or
// "資料" survive): call it with the GIL held in the modules.
std::string ca_bundle_setting();

}  // namespace tvlib::http
