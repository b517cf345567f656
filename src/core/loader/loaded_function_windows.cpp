#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/loader/loaded_function.hpp"

namespace tvlib::loader {

namespace {

// The module that holds `address`, or nullptr; no reference is taken.
HMODULE module_at(const void* address) {
  HMODULE module = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCWSTR>(address), &module) == 0) {
    return nullptr;
  }
  return module;
}

std::wstring file_of(HMODULE module) {
  std::wstring file(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(module, file.data(), static_cast<DWORD>(file.size()));
    if (length == 0) {
      return {};
    }
    if (length < file.size()) {
      file.resize(length);
      return file;
    }
    file.resize(file.size() * 2);  // cut short: a long path
  }
}

// Whether `file` is a module named `import_name`, as an import table names
// a library (ASCII, any case).
bool is_named(const std::wstring& file, const char* import_name) {
  std::wstring name;
  for (const char* c = import_name; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) > 0x7f) {
      return false;
    }
    name.push_back(static_cast<wchar_t>(*c));
  }
  const std::wstring base = std::filesystem::path(file).filename().wstring();
  return CompareStringOrdinal(base.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The module's headers as the loader mapped them, or nullptr.
const IMAGE_NT_HEADERS* headers_of(const std::byte* image) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
    return nullptr;
  }
  const auto* headers =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  if (headers->Signature != IMAGE_NT_SIGNATURE ||
      headers->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) {
    return nullptr;
  }
  return headers;
}

}  // namespace

void* LoadedLibrary::function(std::initializer_list<const char*> names) const noexcept {
  const auto module = static_cast<HMODULE>(const_cast<void*>(base_));
  for (const char* name : names) {
    void* found = reinterpret_cast<void*>(GetProcAddress(module, name));
    // A forwarded export resolves into another module.
    if (found != nullptr && module_at(found) == module) {
      return found;
    }
  }
  return nullptr;
}

std::optional<ImportedFunction> find_imported_function(
    const std::filesystem::path& importer, const char* name) noexcept {
  try {
    HMODULE module = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           importer.c_str(), &module) == 0) {
      return std::nullopt;
    }
    const auto* image = reinterpret_cast<const std::byte*>(module);
    const IMAGE_NT_HEADERS* headers = headers_of(image);
    if (headers == nullptr) {
      return std::nullopt;
    }
    const IMAGE_DATA_DIRECTORY& directory =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0 || directory.Size == 0) {
      return std::nullopt;
    }
    // Every library the module imports from, with the names it imports
    // (OriginalFirstThunk) and, in the same order, the addresses the loader
    // bound them to (FirstThunk): what the module's calls go through.
    std::optional<ImportedFunction> found;
    for (const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
             image + directory.VirtualAddress);
         import->Name != 0; ++import) {
      if (import->OriginalFirstThunk == 0) {
        continue;  // no name table: the names are gone once bound
      }
      const auto* names =
          reinterpret_cast<const IMAGE_THUNK_DATA*>(image + import->OriginalFirstThunk);
      const auto* addresses =
          reinterpret_cast<const IMAGE_THUNK_DATA*>(image + import->FirstThunk);
      for (std::size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
        if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) {
          continue;
        }
        const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
            image + names[i].u1.AddressOfData);
        if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), name) != 0) {
          continue;
        }
        void* address = reinterpret_cast<void*>(
            static_cast<std::uintptr_t>(addresses[i].u1.Function));
        const HMODULE holder = module_at(address);
        if (holder == nullptr) {
          return std::nullopt;
        }
        std::wstring file = file_of(holder);
        // Outside the library the import names: the table was patched (a
        // hook) or the export forwarded, and the library is not known.
        const char* library_name = reinterpret_cast<const char*>(image + import->Name);
        if (!is_named(file, library_name)) {
          return std::nullopt;
        }
        if (found && found->address != address) {
          return std::nullopt;  // the same name from two libraries
        }
        found = ImportedFunction{address, LoadedLibrary(std::move(file), holder)};
      }
    }
    return found;
  } catch (...) {  // std::bad_alloc: treated as not found
    return std::nullopt;
  }
}

}  // namespace tvlib::loader
