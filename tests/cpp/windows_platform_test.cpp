// What only Windows does to the core: share modes on the files it writes,
// files held by other programs, and the user's proxy settings. Built for
// Windows only (the lane runs it under Wine).
#include <winsock2.h>
// windows.h after Winsock 2 (curl's headers come in through the client).
#include <io.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/download/package_download.hpp"
#include "core/files/file_hold.hpp"
#include "core/files/path_text.hpp"
#include "core/files/private_folder.hpp"
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

// The access list of `folder` as Windows reports it: whether it is protected
// from inheritance, and the accounts its entries allow, as SID text.
struct AccessList {
  bool is_protected = false;
  std::vector<std::string> allowed;
  std::string owner;
};

std::string sid_text(PSID sid) {
  LPSTR text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidA(sid, &text));
  std::string result = text != nullptr ? text : "";
  LocalFree(text);
  return result;
}

AccessList access_list_of(const fs::path& folder) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  AccessList list;
  const DWORD error =
      GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, &descriptor);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
  if (error != ERROR_SUCCESS) {
    return list;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  list.is_protected = (control & SE_DACL_PROTECTED) != 0;
  list.owner = owner != nullptr ? sid_text(owner) : "";
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (GetAce(dacl, i, &entry) &&
        static_cast<ACE_HEADER*>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      list.allowed.push_back(
          sid_text(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart));
    }
  }
  LocalFree(descriptor);
  return list;
}

std::string current_user() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), size, &size));
  CloseHandle(token);
  return sid_text(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

// Wine keeps a file's permissions as its Unix mode and makes the access list
// up from it: no protection from inheritance, no entry for the
// Administrators, and "others" shown as Everyone.
bool under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A folder others share: whatever the temporary folder's own access list says,
// the download folder's is its own, for the user, SYSTEM and Administrators.
TEST_F(WindowsFiles, TheDownloadFolderHasAnAccessListOfItsOwn) {
  const fs::path folder = download::download_folder(folder_);
  const AccessList list = access_list_of(folder);
  std::vector<std::string> allowed = list.allowed;
  std::sort(allowed.begin(), allowed.end());
  std::vector<std::string> expected = {current_user(), "S-1-5-18"};
  if (!under_wine()) {
    EXPECT_TRUE(list.is_protected);
    expected.emplace_back("S-1-5-32-544");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(allowed, expected);
  EXPECT_EQ(list.owner, current_user());
  EXPECT_EQ(download::download_folder(folder_), folder);  // and taken again
}

TEST_F(WindowsFiles, AnExistingFolderOthersMayWriteInIsRefused) {
  const fs::path folder = folder_ / "Kolvaren";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  // Everyone may add files, as in a shared C:\Temp. Set after creating: Wine
  // would apply the umask to an access list given to CreateDirectoryW.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      (L"D:P(A;OICI;FA;;;" + files::path_from_utf8(current_user()).wstring() +
       L")(A;OICI;0x1201bf;;;WD)")
          .c_str(),
      SDDL_REVISION_1, &descriptor, nullptr));
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  std::wstring name = folder.wstring();
  EXPECT_EQ(SetNamedSecurityInfoW(
                name.data(), SE_FILE_OBJECT,
                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                nullptr, nullptr, dacl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  LocalFree(descriptor);
  std::string refusal;
  try {
    download::download_folder(folder_);
  } catch (const files::UnsafeFolder& e) {
    refusal = e.what();
  }
  EXPECT_EQ(refusal, "the download folder " + files::utf8_of(folder) +
                         " is refused: other users may write in it (S-1-1-0)");
}

// While a download writes into it, no one can move the folder aside and put
// another in its place.
TEST_F(WindowsFiles, AnOpenDownloadFolderCannotBeRenamed) {
  const fs::path folder = download::download_folder(folder_);
  const fs::path aside = folder_ / "aside";
  {
    const files::OpenFolder open = files::OpenFolder::open(folder, "download folder");
    EXPECT_FALSE(MoveFileW(folder.c_str(), aside.c_str()));
    std::fclose(open.create_new_file("pkg.ms"));
  }
  EXPECT_TRUE(MoveFileW(folder.c_str(), aside.c_str()));
  EXPECT_TRUE(fs::exists(aside / "pkg.ms"));
}

// The hold is taken under any spelling of the path, "/" included, and keeps
// the file under each of them until it is released.
TEST_F(WindowsFiles, AHeldPackageStaysAsItIsUnderEverySpellingOfItsPath) {
  const fs::path path = folder_ / "pkg.ms";
  std::ofstream(path) << "verified";
  files::FileHold hold = files::FileHold::of(fs::path(path.generic_wstring()));
  ASSERT_TRUE(hold.is_open());
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(DeleteFileW(path.generic_wstring().c_str()));
  hold.release();
  EXPECT_TRUE(DeleteFileW(path.generic_wstring().c_str()));
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
