// The extra certificate authorities of a deployment: a PEM file named by
// KOLVAREN_CA_BUNDLE (tests, inspecting corporate proxies).
#pragma once

#include <string>

namespace tvlib::http {

inline constexpr const char* extra_ca_variable = "KOLVAREN_CA_BUNDLE";

// The file KOLVAREN_CA_BUNDLE names, as UTF-8 text; empty when unset. It reads
// the environment, so call it where nothing writes to the environment at the
// same time: with the GIL held in the modules, which write it through
// os.environ. Windows' environment is read wide, so names such as "Şükrü" or
// "資料" survive.
std::string ca_bundle_setting();

}  // namespace tvlib::http
