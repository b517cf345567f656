#include "core/maxscript/string_literal.hpp"

namespace tvlib::maxscript {

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      // A raw line break would survive inside a literal, but escaping it keeps
      // every command on one line in the host's listener and in our logs.
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string string_literal(std::string_view text) { return '"' + escape(text) + '"'; }

}  // namespace tvlib::maxscript
