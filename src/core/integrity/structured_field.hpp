// Dictionary-structured header fields (RFC 8941), as the digest and the
// package signature headers are written: `sha-256=:<base64>:, sha-512=:...:`.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tvlib::integrity {

// The field is not a structured-field dictionary; the message says where.
class FieldSyntaxError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct DictionaryMember {
  std::string key;
  // The decoded bytes when the value is a byte sequence; nothing for any
  // other kind of value (a token, a number, an inner list, ...).
  std::optional<std::string> bytes;
};

// All members in order, a later member of the same key replacing an earlier
// one as RFC 8941 has it. Parameters are checked and dropped. Throws
// FieldSyntaxError when the text is not a dictionary.
std::vector<DictionaryMember> parse_dictionary(std::string_view field);

// Standard base64 without line breaks; padding may be left out.
// Throws FieldSyntaxError when `text` is not base64.
std::string decode_base64(std::string_view text);
std::string encode_base64(std::string_view bytes);

}  // namespace tvlib::integrity
