// Functions found in libraries the process has loaded, as the progress
// signals find Qt's: by name, never by loading anything.
#include "core/loader/loaded_function.hpp"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <curl/curl.h>
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace tvlib {
namespace {

using loader::find_loaded_function;
using loader::LoadedLibrary;

#ifdef _WIN32

void* kernel32_function(const char* name) {
  return reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
}

TEST(LoadedFunction, TheOneModuleOfAGivenNameIsSearchedWhateverTheCase) {
  const LoadedLibrary library{{}, {L"NoSuchLibrary.dll", L"KERNEL32.DLL"}};
  EXPECT_EQ(find_loaded_function(library, {"NoSuchFunction", "GetCurrentProcessId"}),
            kernel32_function("GetCurrentProcessId"));
  EXPECT_EQ(find_loaded_function(library, {"NoSuchFunction"}), nullptr);
}

TEST(LoadedFunction, TwoLoadedModulesOfTheNamesGivenAreAmbiguous) {
  // Both are in every process: a lookup that could mean either finds none.
  const LoadedLibrary library{{}, {L"kernel32.dll", L"ntdll.dll"}};
  EXPECT_EQ(find_loaded_function(library, {"GetLastError"}), nullptr);
}

TEST(LoadedFunction, AModuleThatIsNotLoadedIsNotLoadedForTheLookup) {
  const LoadedLibrary library{{}, {L"winmm.dll"}};
  ASSERT_EQ(GetModuleHandleW(L"winmm.dll"), nullptr);
  EXPECT_EQ(find_loaded_function(library, {"timeGetTime"}), nullptr);
  EXPECT_EQ(GetModuleHandleW(L"winmm.dll"), nullptr);
}

#else

// The file libcurl was loaded from, as a Python extension's QtCore module
// is known by its __file__.
std::string libcurl_file() {
  Dl_info info{};
  EXPECT_NE(dladdr(reinterpret_cast<void*>(&curl_version), &info), 0);
  return info.dli_fname != nullptr ? info.dli_fname : "";
}

TEST(LoadedFunction, ALibraryAndWhatItDependsOnAreSearched) {
  const LoadedLibrary library{libcurl_file(), {}};
  EXPECT_EQ(find_loaded_function(library, {"no_such_function", "curl_version"}),
            reinterpret_cast<void*>(&curl_version));
  // getpid is libc's, reached through libcurl's own dependencies.
  EXPECT_EQ(find_loaded_function(library, {"getpid"}), dlsym(RTLD_DEFAULT, "getpid"));
  EXPECT_EQ(find_loaded_function(library, {"no_such_function"}), nullptr);
}

TEST(LoadedFunction, ALibraryThatIsNotLoadedIsNotLoadedForTheLookup) {
  const char* never_loaded = "libtvlib-never-loaded.so";
  EXPECT_EQ(find_loaded_function({never_loaded, {}}, {"getpid"}), nullptr);
  // A library on disk (libbz2 is a dependency of Debian's build tools) but
  // not in this process: the lookup must not load it.
  const char* bzip2 = "libbz2.so.1.0";
  ASSERT_EQ(dlopen(bzip2, RTLD_LAZY | RTLD_NOLOAD), nullptr);
  EXPECT_EQ(find_loaded_function({bzip2, {}}, {"BZ2_bzlibVersion"}), nullptr);
  EXPECT_EQ(dlopen(bzip2, RTLD_LAZY | RTLD_NOLOAD), nullptr) << "the lookup loaded it";
}

#endif

}  // namespace
}  // namespace tvlib
