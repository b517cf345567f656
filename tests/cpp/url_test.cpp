#include <gtest/gtest.h>

#include "core/http/client.hpp"

namespace tvlib::http {
namespace {

TEST(UrlEncode, KeepsOnlyUnreservedCharacters) {
  EXPECT_EQ(url_encode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(url_encode("a b+c&d=e/f?g#h%"), "a%20b%2Bc%26d%3De%2Ff%3Fg%23h%25");
  EXPECT_EQ(url_encode("\xC3\xA9\xE2\x82\xAC"), "%C3%A9%E2%82%AC");  // é€ as UTF-8
  EXPECT_EQ(url_encode(std::string("\0\x7F", 2)), "%00%7F");
  EXPECT_EQ(url_encode(""), "");
}

TEST(UrlPathSegment, StaysOneSegmentOfThePath) {
  EXPECT_EQ(url_path_segment("eyJh.eyJz-_~.S3C"), "eyJh.eyJz-_~.S3C");  // a JWT
  EXPECT_EQ(url_path_segment("a/../b?c#d%2F e\n"), "a%2F..%2Fb%3Fc%23d%252F%20e%0A");
  EXPECT_EQ(url_path_segment("."), "%2E");
  EXPECT_EQ(url_path_segment(".."), "%2E%2E");
  EXPECT_EQ(url_path_segment("..."), "...");
}

TEST(UrlWithQuery, AppendsParametersInGivenOrder) {
  EXPECT_EQ(url_with_query("https://h/p", {}), "https://h/p");
  EXPECT_EQ(url_with_query("https://h/p", {{"z", "1"}, {"a", "2"}, {"z", "3"}}),
            "https://h/p?z=1&a=2&z=3");
  EXPECT_EQ(url_with_query("https://h/p", {{"a b", "c&d"}, {"e", ""}}),
            "https://h/p?a%20b=c%26d&e=");
  EXPECT_EQ(url_with_query("https://h/p?x=1", {{"y", "2"}}), "https://h/p?x=1&y=2");
}

}  // namespace
}  // namespace tvlib::http
