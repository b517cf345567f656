#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/files/path_text.hpp"
#include "core/files/private_folder.hpp"
#include "core/files/whole_file.hpp"
#include "core/files/writable_file.hpp"

namespace tvlib::files {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const fs::path& folder, DWORD error) {
  throw fs::filesystem_error(
      what, folder, std::error_code(static_cast<int>(error), std::system_category()));
}

std::string refusal(const fs::path& folder, std::string_view role) {
  return "the " + std::string(role) + " " + utf8_of(folder) + " is refused: ";
}

struct LocalFreer {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};

std::string sid_text(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) {
    return "?";
  }
  std::string result = text;
  LocalFree(text);
  return result;
}

// The process's user and the owner it gives new objects (the Administrators
// for an elevated process, else the user).
struct Identity {
  std::vector<unsigned char> user;
  std::vector<unsigned char> owner;
};

std::vector<unsigned char> token_information(HANDLE token,
                                             TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "cannot read the process's user");
  }
  return buffer;
}

std::vector<unsigned char> copy_sid(PSID sid) {
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return {bytes, bytes + GetLengthSid(sid)};
}

Identity process_identity() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "cannot read the process's user");
  }
  Identity identity;
  try {
    const auto user = token_information(token, TokenUser);
    identity.user =
        copy_sid(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
    const auto owner = token_information(token, TokenOwner);
    identity.owner =
        copy_sid(reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner);
  } catch (...) {
    CloseHandle(token);
    throw;
  }
  CloseHandle(token);
  return identity;
}

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

bool same_sid(PSID sid, std::vector<unsigned char>& other) {
  return EqualSid(sid, other.data()) != FALSE;
}

// The user, SYSTEM and the Administrators (and "owner rights", which is
// whoever owns the folder); nobody else is trusted with the folder.
bool is_trusted(PSID sid, Identity& identity) {
  return same_sid(sid, identity.user) || same_sid(sid, identity.owner) ||
         is_well_known(sid, WinLocalSystemSid) ||
         is_well_known(sid, WinCreatorOwnerRightsSid) ||
         is_well_known(sid, WinBuiltinAdministratorsSid);
}

// What lets someone put, remove or rename entries, or give himself that.
constexpr ACCESS_MASK changing_rights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                        FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The owner and access list of the open folder `handle`.
void check_security(HANDLE handle, const fs::path& folder, std::string_view role) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(
      handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    fail("cannot look at the folder's permissions", folder, error);
  }
  const std::unique_ptr<void, LocalFreer> freed(descriptor);
  Identity identity = process_identity();
  // The Administrators own what an elevated run of the host made.
  if (owner == nullptr || !is_trusted(owner, identity)) {
    throw UnsafeFolder(refusal(folder, role) + "it belongs to another user (" +
                       (owner != nullptr ? sid_text(owner) : std::string("none")) +
                       ")");
  }
  if (dacl == nullptr) {
    throw UnsafeFolder(refusal(folder, role) +
                       "it has no access list, so everyone may write in it");
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) {
      continue;
    }
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    // Entries only passed on to what is created inside do not apply here.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
        (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = &allowed->SidStart;
    if ((allowed->Mask & changing_rights) != 0 && !is_trusted(sid, identity)) {
      throw UnsafeFolder(refusal(folder, role) + "other users may write in it (" +
                         sid_text(sid) + ")");
    }
  }
}

// Full control for the user, SYSTEM and the Administrators, passed on to what
// is created inside, protected from the parent's entries (P).
std::wstring private_descriptor() {
  Identity identity = process_identity();
  LPWSTR user = nullptr;
  if (!ConvertSidToStringSidW(identity.user.data(), &user)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "cannot read the process's user");
  }
  std::wstring text =
      L"D:P(A;OICI;FA;;;" + std::wstring(user) + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  LocalFree(user);
  return text;
}

// The folder, opened without sharing deletion: while the handle is open no one
// can rename or delete it.
HANDLE open_folder(const fs::path& folder) {
  return CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | READ_CONTROL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

// A real folder, not a junction or symbolic link.
void check_kind(HANDLE handle, const fs::path& folder, std::string_view role) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle, &information)) {
    fail("cannot look at the folder", folder, GetLastError());
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    throw UnsafeFolder(refusal(folder, role) +
                       "it is a junction or symbolic link, which someone else may "
                       "have planted");
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    throw fs::filesystem_error("cannot create the folder", folder,
                               std::make_error_code(std::errc::file_exists));
  }
}

}  // namespace

void make_private_folder(const fs::path& folder, std::string_view role) {
  if (folder.has_parent_path()) {
    fs::create_directories(folder.parent_path());
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          private_descriptor().c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    fail("cannot create the folder", folder, GetLastError());
  }
  const std::unique_ptr<void, LocalFreer> freed(descriptor);
  SECURITY_ATTRIBUTES attributes{static_cast<DWORD>(sizeof(SECURITY_ATTRIBUTES)),
                                 descriptor, FALSE};
  if (!CreateDirectoryW(folder.c_str(), &attributes) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    fail("cannot create the folder", folder, GetLastError());
  }
  HANDLE handle = open_folder(folder);
  if (handle == INVALID_HANDLE_VALUE) {
    fail("cannot look at the folder", folder, GetLastError());
  }
  try {
    check_kind(handle, folder, role);
    check_security(handle, folder, role);
  } catch (...) {
    CloseHandle(handle);
    throw;
  }
  CloseHandle(handle);
}

OpenFolder OpenFolder::open(const fs::path& folder, std::string_view role) {
  HANDLE handle = open_folder(folder);
  if (handle == INVALID_HANDLE_VALUE) {
    fail("cannot open the folder", folder, GetLastError());
  }
  OpenFolder opened(folder, std::string(role), reinterpret_cast<std::intptr_t>(handle));
  // Its permissions were checked when it was made (make_private_folder), and
  // with its own access list no one else can have put another in its place.
  check_kind(handle, folder, role);
  return opened;
}

OpenFolder::OpenFolder(OpenFolder&& other) noexcept
    : path_(std::move(other.path_)),
      role_(std::move(other.role_)),
      native_(std::exchange(other.native_, -1)) {}

OpenFolder& OpenFolder::operator=(OpenFolder&& other) noexcept {
  if (this != &other) {
    if (native_ != -1) {
      CloseHandle(reinterpret_cast<HANDLE>(native_));
    }
    path_ = std::move(other.path_);
    role_ = std::move(other.role_);
    native_ = std::exchange(other.native_, -1);
  }
  return *this;
}

OpenFolder::~OpenFolder() {
  if (native_ != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(native_));
  }
}

std::FILE* OpenFolder::create_new_file(const fs::path& name) const {
  return files::create_new_file(path_ / name);
}

void OpenFolder::rename(const fs::path& from, const fs::path& to) const {
  move_into_place(path_ / from, path_ / to);
}

void OpenFolder::remove(const fs::path& name, std::error_code& error) const noexcept {
  fs::remove(path_ / name, error);
}

// The handle keeps the folder where it is.
void OpenFolder::check_in_place() const {}

}  // namespace tvlib::files
