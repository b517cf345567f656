// What only Windows does to the core: share modes on the files it writes,
// files held by other programs, and the user's proxy settings. Built for
// Windows only (the lane runs it under Wine).
#include <winsock2.h>
// windows.h after Winsock 2 (curl's headers come in through the client).
#include <io.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/files/path_text.hpp"
#include "core/files/whole_file.hpp"
#include "core/files/writable_file.hpp"
#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

namespace fs = std::filesystem;

class WindowsFiles : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              files::path_from_utf8("tvlib-Şükrü-資料-" + std::to_string(process_id()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path folder_;
};

std::string content_of(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST_F(WindowsFiles, APackageBeingWrittenIsReadableButNotWritableByOthers) {
  const fs::path path = folder_ / files::path_from_utf8("kolvaren-ğüş.ms");
  std::FILE* const file = files::create_new_file(path);
  ASSERT_NE(file, nullptr);
  // Scanners and the host may read it as it arrives...
  const HANDLE reader =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  // ...but a second writer is refused.
  const HANDLE writer =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // Programs the host starts meanwhile do not inherit the handle.
  DWORD flags = 0;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  ASSERT_TRUE(GetHandleInformation(handle, &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0U);
  std::fclose(file);
}

// A scanner opens a new file for a moment without letting others delete or
// rename it; replacing the file waits that out, and gives up with an error
// (leaving no temporary behind) when the file stays held.
TEST_F(WindowsFiles, ReplacingAFileAnotherProgramHoldsWaitsOrFailsCleanly) {
  const fs::path path = folder_ / files::path_from_utf8("account-Ä.json");
  files::replace_whole_file(path, "old");
  const auto hold = [&] {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };

  HANDLE held = hold();
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::thread scanner([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    CloseHandle(held);
  });
  files::replace_whole_file(path, "new");
  scanner.join();
  EXPECT_EQ(content_of(path), "new");

  held = hold();
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_THROW(files::replace_whole_file(path, "newer"), std::system_error);
  CloseHandle(held);
  EXPECT_EQ(content_of(path), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()),
            1);
}

// The user's Internet settings as the control panel stores them: a binary
// value of the current user's "Connections" key.
class UserProxySettings {
 public:
  // flags: 2 a proxy list, 4 a configuration script; strings in the ANSI
  // code page, each after its length.
  UserProxySettings(DWORD flags, const std::string& proxy, const std::string& bypass,
                    const std::string& script) {
    std::string blob;
    const auto put_number = [&](DWORD number) {
      blob.append(reinterpret_cast<const char*>(&number), sizeof number);
    };
    const auto put_text = [&](const std::string& text) {
      put_number(static_cast<DWORD>(text.size()));
      blob.append(text);
    };
    put_number(0x46);  // the format's mark
    put_number(++counter_);
    put_number(flags);
    put_text(proxy);
    put_text(bypass);
    put_text(script);
    blob.append(32, '\0');
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key_path, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      throw std::runtime_error("cannot open the Internet settings");
    }
    RegSetValueExW(key_, value_name, 0, REG_BINARY,
                   reinterpret_cast<const BYTE*>(blob.data()),
                   static_cast<DWORD>(blob.size()));
  }
  UserProxySettings(const UserProxySettings&) = delete;
  UserProxySettings& operator=(const UserProxySettings&) = delete;
  UserProxySettings(UserProxySettings&&) = delete;
  UserProxySettings& operator=(UserProxySettings&&) = delete;
  ~UserProxySettings() {
    RegDeleteValueW(key_, value_name);
    RegCloseKey(key_);
  }

 private:
  static constexpr const wchar_t* key_path =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
  static constexpr const wchar_t* value_name = L"DefaultConnectionSettings";
  static inline DWORD counter_ = 0;
  HKEY key_ = nullptr;
};

TEST(WindowsProxy, TheUsersManualProxyIsUsedAndItsBypassListHonoured) {
  TestServer proxy = refusing_proxy();
  const UserProxySettings settings(2, "127.0.0.1:" + std::to_string(proxy.port()),
                                   "*.bypassed.invalid;<local>", "");
  http::Client client;
  const http::TransportError error =
      failure_of([&] { client.send(get("https://updates.manual.invalid:9/")); });
  EXPECT_NE(std::string(error.what()).find("407"), std::string::npos) << error.what();
  ASSERT_EQ(proxy.received().size(), 1U);
  EXPECT_EQ(proxy.received()[0].target, "updates.manual.invalid:9");
  // A bypassed host is asked directly (and does not exist).
  failure_of([&] { client.send(get("https://host.bypassed.invalid:9/")); });
  EXPECT_EQ(proxy.received().size(), 1U);
}

TEST(WindowsProxy, AConfigurationScriptChoosesTheProxy) {
  TestServer proxy = refusing_proxy();
  const std::string script =
      "function FindProxyForURL(url, host) {\n"
      "  if (host == \"updates.pac.invalid\") return \"PROXY 127.0.0.1:" +
      std::to_string(proxy.port()) +
      "\";\n"
      "  return \"DIRECT\";\n"
      "}\n";
  TestServer script_server(
      [&](const Received& /*request*/, Connection& connection) {
        connection.send(reply(200, script,
                              {{"Content-Type", "application/x-ns-proxy-autoconfig"}}));
      },
      {.tls = nullptr});
  const UserProxySettings settings(4, "", "", script_server.url("/proxy.pac"));
  http::Client client;
  const http::TransportError error =
      failure_of([&] { client.send(get("https://updates.pac.invalid:9/")); });
  EXPECT_NE(std::string(error.what()).find("407"), std::string::npos) << error.what();
  ASSERT_EQ(proxy.received().size(), 1U);
  EXPECT_EQ(proxy.received()[0].target, "updates.pac.invalid:9");
}

}  // namespace
}  // namespace tvlib::test
