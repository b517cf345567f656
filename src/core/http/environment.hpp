// The process environment as UTF-8 text.
#pragma once

#include <optional>
#include <string>

namespace tvlib::http {

// The value of the variable `name` (ASCII), as UTF-8; nothing when it is not
// set. Windows' environment is read wide, so values such as "C:\Users\Şükrü"
// survive; the CRT's narrow copy would go through the ANSI code page. It reads
// the environment, so call it where nothing writes to the environment at the
// same time: with the GIL held in the modules, which write it through
// os.environ.
std::optional<std::string> environment_value(const char* name);

}  // namespace tvlib::http
