// Values spliced into MAXScript command texts.
#pragma once

#include <string>
#include <string_view>

namespace tvlib::maxscript {

// The body of a MAXScript string literal that reads back as `text`: backslash,
// double quote and line breaks are escaped, everything else stays as it is.
// The enclosing double quotes come from the command text around it.
std::string escape(std::string_view text);

// `text` as a complete MAXScript string literal, double quotes included.
std::string string_literal(std::string_view text);

}  // namespace tvlib::maxscript
