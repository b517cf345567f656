// The extra CA bundle of KOLVAREN_CA_BUNDLE, read by the request's maker.
#include <filesystem>
#include <fstream>

#include "core/files/path_text.hpp"
#include "core/http/ca_bundle.hpp"
#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

namespace fs = std::filesystem;

// User names such as these end up in the paths of corporate CA files; the
// ANSI code page of a Western or Japanese Windows has no room for all of them.
TEST(HttpExtraCaBundle, NonAsciiPathFromTheEnvironmentIsTrusted) {
  const fs::path folder =
      fs::temp_directory_path() /
      files::path_from_utf8("tvlib-Şükrü-資料-" + std::to_string(process_id()));
  fs::create_directories(folder);
  const fs::path file = folder / files::path_from_utf8("kök CA.pem");
  std::ofstream(file, std::ios::binary) << pki().trusted.pem();
  TestServer server([](const Received& /*request*/, Connection& connection) {
    connection.send(reply(200, "trusted"));
  });
  {
    const ScopedVariable named(http::extra_ca_variable, files::utf8_of(file));
    const std::string setting = http::ca_bundle_setting();
    EXPECT_EQ(setting, files::utf8_of(file));
    http::Request request = get(server.url("/"));
    request.ca_bundle = setting;
    http::Client client;
    EXPECT_EQ(client.send(request).body, "trusted");
  }
  {
    ScopedVariable unset(http::extra_ca_variable, "");
    unset_variable(http::extra_ca_variable);
    EXPECT_EQ(http::ca_bundle_setting(), "");
  }
  fs::remove_all(folder);
}

}  // namespace
}  // namespace tvlib::test
