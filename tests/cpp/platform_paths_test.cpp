// Paths from UTF-8 text and the Windows proxy lists, read by portable code and
// so checked here.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/files/package_name.hpp"
#include "core/files/path_text.hpp"
#include "core/files/writable_file.hpp"
#include "core/http/system_proxy.hpp"

namespace tvlib {
namespace {

namespace fs = std::filesystem;

TEST(PathText, NonAsciiNamesSurviveTheRoundTripAndReachTheDisk) {
  const fs::path folder = fs::temp_directory_path() / "tvlib-path-text";
  fs::remove_all(folder);
  for (const std::string name : {"Şükrü Işık", "Γιώργος αρχεία", "資料 フォルダ"}) {
    const fs::path path = files::path_from_utf8(name);
    EXPECT_EQ(files::utf8_of(path), name);
    EXPECT_EQ(path.u8string().size(), name.size());

    fs::create_directories(folder / path);
    const fs::path file = folder / path / files::path_from_utf8(name + ".ms");
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(
        files::create_new_file(file), &std::fclose);
    std::fputs("new", out.get());
  }
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    EXPECT_FALSE(files::utf8_of(entry.path().filename()).empty());
  }
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(folder),
                          fs::recursive_directory_iterator()),
            6);
  fs::remove_all(folder);
}

TEST(PackageName, ANameFromTheServiceStaysInsideTheDownloadFolder) {
  const fs::path folder = fs::path("downloads") / "Kolvaren";
  for (const char* file_path :
       {"releases/pkg.ms", "..\\..\\pkg.ms", "/etc/pkg.ms", "C:\\x\\pkg.ms",
        "a/b\\pkg.ms", "C:pkg.ms", "a/D:pkg.ms", "a/..", "a/"}) {
    const std::string name = files::last_component(file_path);
    const fs::path entry = files::entry_of(folder, name);
    // As text: libstdc++ on Windows splits "folder\D:pkg.ms" at the colon.
    EXPECT_EQ(files::utf8_of(entry),
              files::utf8_of(folder) + char(fs::path::preferred_separator) + name)
        << file_path;
    // Only plain names are ever written; the others are refused by name.
    EXPECT_EQ(files::is_plain_file_name(name), name == "pkg.ms") << file_path;
  }
}

TEST(PackageName, NamesWindowsWouldReadAsSomethingElseAreRefused) {
  for (const char* name :
       {"update.ini", "UPDATE.Ini", "CON",         "con.txt",        "NUL.ms",
        "nul.tar.gz", "Aux",        "prn.ms",      "COM1",           "com9.ms",
        "LPT1",       "lpt0",       "COM\xc2\xb9", "lpt\xc2\xb3.ms", "CONIN$",
        "nul .ms",    "pkg.ms.",    "pkg.ms ",     "pkg.",           " "}) {
    EXPECT_FALSE(files::package_name_fault(name).empty()) << name;
  }
  for (const char* name : {"pkg.ms", "update.ini.ms", "my update.ini.ms", "console.ms",
                           "nully.ms", "COM10.ms", "LPT", "com.ms", "aux-tools.ms",
                           "\xc3\xa9t\xc3\xa9.ms", ".hidden.ms", "a b.ms"}) {
    EXPECT_EQ(files::package_name_fault(name), "") << name;
  }
  EXPECT_EQ(files::package_name_fault("NUL.ms"),
            "'NUL.ms' is a device name on Windows, not a file name");
  EXPECT_EQ(files::package_name_fault("a:b"), "'a:b' is not a file name");
}

TEST(SystemProxyLists, ChoosesTheEntryForTheSchemeElseTheCommonOne) {
  using http::detail::proxy_from_lists;
  const std::string https = "https://updates.example.com/license/download/t";
  EXPECT_EQ(proxy_from_lists("proxy.corp:8080", "", https), "http://proxy.corp:8080");
  EXPECT_EQ(proxy_from_lists("http=a:80;https=b:443", "", https), "http://b:443");
  EXPECT_EQ(proxy_from_lists("http=a:80 https=b:443", "", "http://h/"), "http://a:80");
  EXPECT_EQ(proxy_from_lists("ftp=f:21;common:3128", "", https), "http://common:3128");
  EXPECT_EQ(proxy_from_lists("https://tls.corp:443", "", https),
            "https://tls.corp:443");
  EXPECT_EQ(proxy_from_lists("http=a:80", "", https), std::nullopt);
  EXPECT_EQ(proxy_from_lists("", "", https), std::nullopt);
  EXPECT_EQ(proxy_from_lists("p:1", "", "not a url"), std::nullopt);
}

TEST(SystemProxyLists, BypassesLocalNamesPatternsAndLoopback) {
  using http::detail::proxy_from_lists;
  const char* bypass = "<local>; *.Corp.Example ;10.*;http://direct.example.com";
  EXPECT_EQ(proxy_from_lists("p:1", bypass, "https://intranet/x"), std::nullopt);
  EXPECT_EQ(proxy_from_lists("p:1", bypass, "https://a.b.corp.example/"), std::nullopt);
  EXPECT_EQ(proxy_from_lists("p:1", bypass, "https://10.1.2.3/"), std::nullopt);
  EXPECT_EQ(proxy_from_lists("p:1", bypass, "https://direct.example.com/"),
            std::nullopt);
  EXPECT_EQ(proxy_from_lists("p:1", "", "https://127.0.0.1:8443/"), std::nullopt);
  EXPECT_EQ(proxy_from_lists("p:1", "", "https://localhost/"), std::nullopt);
  EXPECT_EQ(proxy_from_lists("p:1", bypass, "https://corp.example.org/"), "http://p:1");
  EXPECT_EQ(proxy_from_lists("p:1", bypass, "https://110.1.2.3/"), "http://p:1");
}

// The Windows logon goes only to a proxy from the list the user or a policy
// set, never to one that detection or a configuration script named.
TEST(SystemProxyChoice, OnlyAListedProxyIsSignedInToWithTheLogon) {
  using http::detail::choose_system_proxy;
  using Scripted = std::optional<std::optional<std::string>>;
  const std::string url = "https://updates.example.com/license/download/t";
  const auto chosen = [&](const Scripted& scripted, std::string_view list) {
    const auto proxy = choose_system_proxy(scripted, list, "", url);
    return proxy ? proxy->proxy + (proxy->sign_in_with_logon ? " logon" : " no logon")
                 : std::string("direct");
  };
  EXPECT_EQ(chosen(std::nullopt, "listed:8080"), "http://listed:8080 logon");
  EXPECT_EQ(chosen(Scripted(std::in_place, "http://named:3128"), "listed:8080"),
            "http://named:3128 no logon");
  EXPECT_EQ(chosen(Scripted(std::in_place, "http://named:3128"), ""),
            "http://named:3128 no logon");
  // The script said direct: the list does not apply.
  EXPECT_EQ(chosen(Scripted(std::in_place), "listed:8080"), "direct");
  EXPECT_EQ(chosen(std::nullopt, ""), "direct");
}

}  // namespace
}  // namespace tvlib
