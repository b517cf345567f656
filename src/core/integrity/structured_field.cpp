#include "core/integrity/structured_field.hpp"

#include "core/integrity/sodium_init.hpp"

namespace tvlib::integrity {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lcalpha(char c) { return c >= 'a' && c <= 'z'; }
bool is_alpha(char c) { return is_lcalpha(c) || (c >= 'A' && c <= 'Z'); }

bool is_tchar(char c) {
  return is_alpha(c) || is_digit(c) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_base64_char(char c) {
  return is_alpha(c) || is_digit(c) || c == '+' || c == '/' || c == '=';
}

// A recursive-descent reader over the field text, one RFC 8941 rule per member.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::vector<DictionaryMember> dictionary() {
    skip(" ");
    std::vector<DictionaryMember> members;
    while (!done()) {
      DictionaryMember member{key(), std::nullopt};
      if (accept('=')) {
        member.bytes = item_or_inner_list();
      } else {
        parameters();  // a bare key is the boolean true
      }
      std::erase_if(members,
                    [&](const DictionaryMember& m) { return m.key == member.key; });
      members.push_back(std::move(member));
      skip(" \t");
      if (done()) {
        break;
      }
      expect(',', "',' between members");
      skip(" \t");
      if (done()) {
        fail("a member after the last ','");
      }
    }
    return members;
  }

 private:
  [[nodiscard]] bool done() const { return at_ >= text_.size(); }
  [[nodiscard]] char peek() const { return done() ? '\0' : text_[at_]; }

  bool accept(char c) {
    if (!done() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  void expect(char c, const char* what) {
    if (!accept(c)) {
      fail(what);
    }
  }

  void skip(std::string_view blanks) {
    while (!done() && blanks.find(text_[at_]) != std::string_view::npos) {
      ++at_;
    }
  }

  [[noreturn]] void fail(const std::string& expected) const {
    throw FieldSyntaxError("expected " + expected + " at character " +
                           std::to_string(at_ + 1));
  }

  std::string key() {
    if (!is_lcalpha(peek()) && peek() != '*') {
      fail("a key (lower-case letter or '*')");
    }
    const std::size_t start = at_;
    while (!done() &&
           (is_lcalpha(peek()) || is_digit(peek()) ||
            std::string_view("_-.*").find(peek()) != std::string_view::npos)) {
      ++at_;
    }
    return std::string(text_.substr(start, at_ - start));
  }

  void parameters() {
    while (accept(';')) {
      skip(" ");
      key();
      if (accept('=')) {
        bare_item();
      }
    }
  }

  // Only a byte sequence yields a value; everything else is checked and dropped.
  std::optional<std::string> item_or_inner_list() {
    if (accept('(')) {
      for (;;) {
        skip(" ");
        if (accept(')')) {
          break;
        }
        bare_item();
        parameters();
        if (peek() != ' ' && peek() != ')') {
          fail("' ' or ')' in an inner list");
        }
      }
      parameters();
      return std::nullopt;
    }
    std::optional<std::string> value = bare_item();
    parameters();
    return value;
  }

  std::optional<std::string> bare_item() {
    const char c = peek();
    if (c == ':') {
      return byte_sequence();
    }
    // '@' starts a date (RFC 9651): an integer of seconds.
    if (c == '-' || is_digit(c) || accept('@')) {
      number();
    } else if (c == '"') {
      quoted_string();
    } else if (is_alpha(c) || c == '*') {
      while (!done() && (is_tchar(peek()) || peek() == ':' || peek() == '/')) {
        ++at_;
      }
    } else if (accept('?')) {
      if (!accept('0') && !accept('1')) {
        fail("'0' or '1' after '?'");
      }
    } else {
      fail("a value");
    }
    return std::nullopt;
  }

  void number() {
    accept('-');
    std::size_t whole = 0;
    while (is_digit(peek())) {
      ++at_;
      ++whole;
    }
    if (whole == 0) {
      fail("a digit");
    }
    if (!accept('.')) {
      if (whole > 15) {
        fail("an integer of at most 15 digits");
      }
      return;
    }
    std::size_t fraction = 0;
    while (is_digit(peek())) {
      ++at_;
      ++fraction;
    }
    if (whole > 12 || fraction == 0 || fraction > 3) {
      fail("a decimal of at most 12.3 digits");
    }
  }

  void quoted_string() {
    expect('"', "'\"'");
    for (;;) {
      if (done()) {
        fail("the closing '\"'");
      }
      const char c = text_[at_++];
      if (c == '"') {
        return;
      }
      if (c == '\\') {
        if (!accept('"') && !accept('\\')) {
          fail(R"('"' or '\' after '\')");
        }
      } else if (c < 0x20 || c > 0x7E) {
        --at_;
        fail("a printable ASCII character");
      }
    }
  }

  std::string byte_sequence() {
    expect(':', "':'");
    const std::size_t start = at_;
    while (!done() && is_base64_char(peek())) {
      ++at_;
    }
    const std::string_view encoded = text_.substr(start, at_ - start);
    expect(':', "base64 and a closing ':'");
    return decode_base64(encoded);
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

std::vector<DictionaryMember> parse_dictionary(std::string_view field) {
  while (!field.empty() && field.back() == ' ') {
    field.remove_suffix(1);
  }
  return Parser(field).dictionary();
}

std::string decode_base64(std::string_view text) {
  detail::ensure_sodium();
  // Padding is optional in structured fields; libsodium takes it all or none.
  std::size_t padding = 0;
  while (!text.empty() && text.back() == '=' && padding < 2) {
    text.remove_suffix(1);
    ++padding;
  }
  std::string bytes(text.size() * 3 / 4 + 1, '\0');
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                        text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL_NO_PADDING) != 0 ||
      end != text.data() + text.size() ||
      (padding != 0 && (text.size() + padding) % 4 != 0)) {
    throw FieldSyntaxError("a byte sequence that is not base64");
  }
  bytes.resize(length);
  return bytes;
}

std::string encode_base64(std::string_view bytes) {
  detail::ensure_sodium();
  std::string text(
      sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(),
                    reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.resize(text.find('\0'));
  return text;
}

}  // namespace tvlib::integrity
