// Functions of loaded libraries found the way a loaded module's own calls
// reach them, never by loading anything: the stand-in QtCore module and the
// two stand-in Qt core libraries (fake_qt_library.hpp).
#include "core/loader/loaded_function.hpp"

#include <gtest/gtest.h>

#include <cstddef>

#include "fake_qt_library.hpp"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tvlib {
namespace {

using loader::find_imported_function;
using testing::fake_qt_file;
using testing::TestLibrary;

using Text = const char* (*)();
using Count = int (*)();

TEST(LoadedFunction, AnImportIsFoundInTheLibraryTheModulesCallsReach) {
  const TestLibrary other(fake_qt_file(TVLIB_FAKE_QT_OTHER));
  const TestLibrary module(fake_qt_file(TVLIB_FAKE_QTCORE_MODULE));
  const TestLibrary linked(fake_qt_file(TVLIB_FAKE_QT_LINKED));

  const auto name = find_imported_function(module.file(), "fake_qt_name");
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(name->address,
            reinterpret_cast<void*>(linked.function<Text>("fake_qt_name")));
  EXPECT_EQ(name->library.file().filename(),
            fake_qt_file(TVLIB_FAKE_QT_LINKED).filename());
  // The library's other functions are its own, not the other copy's.
  EXPECT_EQ(name->library.function({"no_such_function", "fake_qt_activations"}),
            reinterpret_cast<void*>(linked.function<Count>("fake_qt_activations")));
  EXPECT_EQ(name->library.function({"no_such_function"}), nullptr);

  EXPECT_FALSE(find_imported_function(module.file(), "no_such_function").has_value());
}

#ifdef _WIN32

// The module's slot for `function` in its import address table, the one
// pointer there that holds it.
void** import_slot(HMODULE module, void* function) {
  auto* image = reinterpret_cast<std::byte*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* headers =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& table =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
  auto** slots = reinterpret_cast<void**>(image + table.VirtualAddress);
  for (std::size_t i = 0; i < table.Size / sizeof(void*); ++i) {
    if (slots[i] == function) {
      return &slots[i];
    }
  }
  return nullptr;
}

TEST(LoadedFunction, AnImportPatchedToLeadElsewhereIsNotFollowed) {
  // A hook, or any other library's code, in place of the library the module
  // names: where the module's calls go is no longer known.
  const TestLibrary other(fake_qt_file(TVLIB_FAKE_QT_OTHER));
  const TestLibrary module(fake_qt_file(TVLIB_FAKE_QTCORE_MODULE));
  const TestLibrary linked(fake_qt_file(TVLIB_FAKE_QT_LINKED));
  void* const original = reinterpret_cast<void*>(linked.function<Text>("fake_qt_name"));
  void** slot = import_slot(GetModuleHandleW(module.file().c_str()), original);
  ASSERT_NE(slot, nullptr);
  DWORD protection = 0;
  ASSERT_NE(VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection), 0);
  *slot = reinterpret_cast<void*>(other.function<Text>("fake_qt_name"));
  ASSERT_STREQ(module.function<Text>("fake_module_qt_name")(), "other");
  EXPECT_FALSE(find_imported_function(module.file(), "fake_qt_name").has_value());
  *slot = original;
  VirtualProtect(slot, sizeof(void*), protection, &protection);
}

#else

TEST(LoadedFunction, OnlyWhatALibraryDefinesItselfIsItsFunction) {
  const TestLibrary module(fake_qt_file(TVLIB_FAKE_QTCORE_MODULE));
  const auto name = find_imported_function(module.file(), "fake_qt_name");
  ASSERT_TRUE(name.has_value());
  // getpid is libc's, reached through the library's dependencies.
  EXPECT_EQ(name->library.function({"getpid"}), nullptr);
  EXPECT_NE(name->library.function({"getpid", "qVersion"}), nullptr);
}

#endif

}  // namespace
}  // namespace tvlib
