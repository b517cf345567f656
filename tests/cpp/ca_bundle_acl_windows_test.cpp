// An extra CA bundle that another account could change is refused on Windows
// too: its owner and access list, and those of the folders it lies in.
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/files/path_text.hpp"
#include "core/http/bundle_owner.hpp"
#include "test_environment.hpp"

namespace tvlib::test {
namespace {

namespace fs = std::filesystem;

// Adds an entry giving Everyone `rights` on `path`; false when the file
// system keeps no access lists.
bool grant_everyone(const fs::path& path, DWORD rights) {
  PACL old_list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &old_list, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  BYTE everyone[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(everyone);
  CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size);
  EXPLICIT_ACCESSW entry{};
  entry.grfAccessPermissions = rights;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(everyone);
  PACL new_list = nullptr;
  const bool set =
      SetEntriesInAclW(1, &entry, old_list, &new_list) == ERROR_SUCCESS &&
      SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION, nullptr, nullptr, new_list,
                            nullptr) == ERROR_SUCCESS;
  LocalFree(new_list);
  LocalFree(descriptor);
  return set;
}

// Whether the access list of `path` gives Everyone all of `rights`, as read
// back from the file system.
bool everyone_has(const fs::path& path, DWORD rights) {
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &list, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; list != nullptr && i < list->AceCount && !found; ++i) {
    void* entry = nullptr;
    if (GetAce(list, i, &entry) &&
        static_cast<ACE_HEADER*>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
      found = IsWellKnownSid(&allowed->SidStart, WinWorldSid) &&
              (allowed->Mask & rights) == rights;
    }
  }
  LocalFree(descriptor);
  return found;
}

TEST(ExtraBundleAccessList, WhatEveryoneMayChangeIsRefused) {
  const fs::path root =
      fs::temp_directory_path() / ("tvlib-bundle-acl-" + std::to_string(process_id()));
  fs::remove_all(root);
  fs::create_directories(root / "shared");
  const fs::path own = root / "own.pem";
  const fs::path open = root / "open.pem";
  const fs::path shared = root / "shared" / "ca.pem";
  for (const fs::path& file : {own, open, shared}) {
    std::ofstream(file) << "-----BEGIN CERTIFICATE-----\n";
  }
  const std::optional<std::string> fresh = http::bundle_exposure(files::utf8_of(own));
  if (fresh && running_under_wine()) {
    fs::remove_all(root);
    GTEST_SKIP() << "Wine's access lists of " << own.string()
                 << " are not Windows': " << *fresh;
  }
  EXPECT_EQ(fresh, std::nullopt);
  if (!grant_everyone(open, FILE_GENERIC_WRITE) ||
      !grant_everyone(root / "shared", FILE_DELETE_CHILD)) {
    fs::remove_all(root);
    GTEST_SKIP() << "the temporary folder's file system keeps no access lists";
  }
  const std::optional<std::string> writable =
      http::bundle_exposure(files::utf8_of(open));
  ASSERT_TRUE(writable.has_value());
  EXPECT_TRUE(writable->ends_with(" may change it")) << *writable;
  if (!everyone_has(root / "shared", FILE_DELETE_CHILD)) {
    fs::remove_all(root);
    GTEST_SKIP() << "this file system keeps no access list entry for a folder "
                    "(Wine's does not read back the one just set)";
  }
  const std::optional<std::string> replaceable =
      http::bundle_exposure(files::utf8_of(shared));
  ASSERT_TRUE(replaceable.has_value());
  EXPECT_TRUE(replaceable->starts_with("it lies in " + files::utf8_of(root / "shared") +
                                       ", which "))
      << *replaceable;
  fs::remove_all(root);
}

}  // namespace
}  // namespace tvlib::test
