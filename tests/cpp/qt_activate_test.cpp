// Qt's QMetaObject::activate as the progress signals find it: in the Qt core
// library that the QtCore module links against, whatever other Qt core the
// process holds, and only in the Qt releases the direct path is tested with.
#include "core/loader/qt_activate.hpp"

#include <gtest/gtest.h>

#include "fake_qt_library.hpp"

namespace tvlib {
namespace {

using loader::find_qt_activate;
using testing::fake_qt_file;
using testing::TestLibrary;

using Activate = void (*)(void* sender, int signal_index, void** arguments);
using Text = const char* (*)();
using Count = int (*)();
using SetText = void (*)(const char*);

TEST(QtActivate, TheQtCoreTheModuleLinksAgainstIsTheOneCalled) {
  // Another plug-in's Qt under Qt's own name, loaded first; the module's Qt
  // under a name of its own.
  const TestLibrary other(fake_qt_file(TVLIB_FAKE_QT_OTHER));
  const TestLibrary module(fake_qt_file(TVLIB_FAKE_QTCORE_MODULE));
  const TestLibrary linked(fake_qt_file(TVLIB_FAKE_QT_LINKED));
  ASSERT_STREQ(module.function<Text>("fake_module_qt_name")(), "linked");
  const auto other_calls = other.function<Count>("fake_qt_activations");
  const auto linked_calls = linked.function<Count>("fake_qt_activations");
  const int other_before = other_calls();
  const int linked_before = linked_calls();

  const auto activate = reinterpret_cast<Activate>(find_qt_activate(module.file()));
  ASSERT_NE(activate, nullptr);
  int sender = 0;
  activate(&sender, 3, nullptr);
  EXPECT_EQ(linked_calls(), linked_before + 1);
  EXPECT_EQ(other_calls(), other_before) << "another Qt's activate was called";
}

TEST(QtActivate, OnlyTheQtReleasesTheDirectPathIsTestedWithAreUsed) {
  const TestLibrary module(fake_qt_file(TVLIB_FAKE_QTCORE_MODULE));
  const TestLibrary linked(fake_qt_file(TVLIB_FAKE_QT_LINKED));
  const auto set_version = linked.function<SetText>("fake_qt_set_version");
  struct Case {
    const char* version;
    bool used;
  };
  for (const auto& [version, used] :
       {Case{"5.15.2", true}, Case{"5.15", true}, Case{"6.5.0", true},
        Case{"6.10.1", true}, Case{"6.12.0", true}, Case{"5.14.2", false},
        Case{"6.4.3", false}, Case{"6.13.0", false}, Case{"7.0.0", false},
        Case{"6.50.0", false}, Case{"6.5beta", false}, Case{"6", false},
        Case{"", false}, Case{nullptr, false}}) {
    set_version(version);
    EXPECT_EQ(find_qt_activate(module.file()) != nullptr, used)
        << (version != nullptr ? version : "no version");
  }
  set_version("6.8.3");
}

TEST(QtActivate, AModuleThatIsNotLoadedIsNotLoadedForTheLookup) {
  const auto file = fake_qt_file(TVLIB_FAKE_QTCORE_MODULE);
  ASSERT_FALSE(testing::is_loaded(file));
  EXPECT_EQ(find_qt_activate(file), nullptr);
  EXPECT_FALSE(testing::is_loaded(file)) << "the lookup loaded it";
  EXPECT_FALSE(testing::is_loaded(fake_qt_file(TVLIB_FAKE_QT_LINKED)));
}

#ifndef _WIN32

TEST(QtActivate, AnotherQtCoreInTheGlobalScopeLeavesItUncertain) {
  // As when the host executable links a Qt core of its own: the module's
  // calls reach that one, not the library the module names.
  const TestLibrary other(fake_qt_file(TVLIB_FAKE_QT_OTHER), /*global=*/true);
  const TestLibrary module(fake_qt_file(TVLIB_FAKE_QTCORE_MODULE));
  ASSERT_STREQ(module.function<Text>("fake_module_qt_name")(), "other");
  EXPECT_EQ(find_qt_activate(module.file()), nullptr);
}

#endif

}  // namespace
}  // namespace tvlib
