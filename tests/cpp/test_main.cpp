#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "test_environment.hpp"
#include "test_pki.hpp"
#include "test_socket.hpp"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
#ifdef SIGPIPE
  // The test servers write to clients that may have hung up already.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  tvlib::test::start_sockets();
  // Requests go to the test servers directly whatever proxy the machine is set
  // up with.
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    tvlib::test::unset_variable(name);
  }
  const std::filesystem::path bundle = tvlib::test::install_ca_bundle();
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove(bundle);
  return result;
}
