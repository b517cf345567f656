// Any text spliced into a MAXScript string literal reads back as itself, and
// the literal ends exactly at its closing quote.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/maxscript/string_literal.hpp"

namespace {

// The host's reading of a string literal at the start of `source`: the text
// and the number of characters the literal takes, or nothing when it never
// ends. Escapes as the host knows them; an unknown one keeps its character.
std::optional<std::pair<std::string, std::size_t>> read_literal(
    std::string_view source) {
  if (source.empty() || source.front() != '"') {
    return std::nullopt;
  }
  std::string text;
  for (std::size_t i = 1; i < source.size(); ++i) {
    const char c = source[i];
    if (c == '"') {
      return std::pair{text, i + 1};
    }
    if (c != '\\') {
      text += c;
      continue;
    }
    if (++i == source.size()) {
      return std::nullopt;
    }
    switch (source[i]) {
      case 'n':
        text += '\n';
        break;
      case 'r':
        text += '\r';
        break;
      case 't':
        text += '\t';
        break;
      default:
        text += source[i];
    }
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string literal = tvlib::maxscript::string_literal(text);
  // Followed by more command text, as when spliced into a command.
  const auto read = read_literal(literal + " + \"tail\"");
  if (!read || read->first != text || read->second != literal.size()) {
    std::abort();
  }
  // Every command stays on one line.
  if (literal.find_first_of("\r\n") != std::string::npos) {
    std::abort();
  }
  return 0;
}
