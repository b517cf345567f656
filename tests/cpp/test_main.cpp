#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "test_pki.hpp"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // The test servers write to clients that may have hung up already.
  std::signal(SIGPIPE, SIG_IGN);
  // Requests go to 127.0.0.1 directly whatever proxy the machine is set up with.
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    unsetenv(name);
  }
  const std::filesystem::path bundle = tvlib::test::install_ca_bundle();
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove(bundle);
  return result;
}
