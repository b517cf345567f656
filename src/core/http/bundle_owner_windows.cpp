// The owner and access list of the bundle and of the folders it lies in.
// Built and checked by mingw-w64 here, run only on Windows.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "core/files/path_text.hpp"
#include "core/http/bundle_owner.hpp"

namespace tvlib::http {

namespace {

namespace fs = std::filesystem;

struct LocalFreer {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};

// The SID of the user the process runs as; empty when it cannot be had.
std::vector<BYTE> user_sid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return {};
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  const bool read =
      size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  CloseHandle(token);
  if (!read) {
    return {};
  }
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  std::vector<BYTE> copy(GetLengthSid(sid));
  CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid);
  return copy;
}

std::string sid_text(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) {
    return "an unknown account";
  }
  const std::unique_ptr<wchar_t, LocalFreer> owned(text);
  return files::utf8_of(fs::path(text));
}

// "DOMAIN\name", or the SID as text when the account has no name here.
std::string account_name(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_size = 256;
  DWORD domain_size = 256;
  SID_NAME_USE use{};
  if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
    return sid_text(sid);
  }
  const std::wstring whole =
      domain_size > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  return files::utf8_of(fs::path(whole));
}

// The user, and the administrator's accounts: the system, the
// Administrators group, TrustedInstaller (which owns what Windows ships),
// and the creator-owner placeholder, which stands for the file's owner.
bool ours(PSID sid, const std::vector<BYTE>& user) {
  if (!user.empty() && EqualSid(sid, const_cast<BYTE*>(user.data()))) {
    return true;
  }
  for (const WELL_KNOWN_SID_TYPE type :
       {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid}) {
    if (IsWellKnownSid(sid, type)) {
      return true;
    }
  }
  return sid_text(sid) ==
         "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
}

// Rights that let their holder change a file, or replace what lies in a
// folder. Adding files to a folder is not among them: on Windows that does
// not let anyone rename or delete a file they were not given.
constexpr DWORD file_changing = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC |
                                WRITE_OWNER | DELETE | GENERIC_WRITE | GENERIC_ALL;
constexpr DWORD folder_changing =
    FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_ALL;

// Why someone else could change `path` (in words that follow "as"): its
// owner, or an entry of its access list giving such rights to someone else.
std::optional<std::string> exposure(const fs::path& path, bool folder,
                                    const std::vector<BYTE>& user) {
  PSID owner = nullptr;
  PACL access = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &access, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return std::nullopt;  // reading it fails with its own text
  }
  const std::unique_ptr<void, LocalFreer> owned(descriptor);
  const std::string in_folder = "it lies in " + files::utf8_of(path) + ", which ";
  if (owner != nullptr && !ours(owner, user)) {
    return (folder ? in_folder : std::string("it ")) + "belongs to " +
           account_name(owner);
  }
  if (access == nullptr) {
    return folder ? in_folder + "has no access list, so anyone may change what is in it"
                  : std::string("it has no access list, so anyone may change it");
  }
  const DWORD changing = folder ? folder_changing : file_changing;
  for (DWORD i = 0; i < access->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(access, i, &entry)) {
      continue;
    }
    const auto* header = static_cast<ACE_HEADER*>(entry);
    // Entries only for what is created inside do not apply to the object.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
        (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID holder = &allowed->SidStart;
    if ((allowed->Mask & changing) != 0 && !ours(holder, user)) {
      return folder ? in_folder + account_name(holder) + " may change"
                    : account_name(holder) + " may change it";
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> bundle_exposure(const std::string& path) {
  std::error_code error;
  // Where the name leads, junctions and links resolved.
  const fs::path real = fs::canonical(files::path_from_utf8(path), error);
  if (error) {
    return std::nullopt;
  }
  const std::vector<BYTE> user = user_sid();
  std::vector<fs::path> folders;
  for (fs::path folder = real.parent_path(); !folder.empty();
       folder = folder.parent_path()) {
    folders.push_back(folder);
    if (folder == folder.root_path()) {
      break;
    }
  }
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    if (auto found = exposure(*folder, true, user)) {
      return found;
    }
  }
  return exposure(real, false, user);
}

}  // namespace tvlib::http
