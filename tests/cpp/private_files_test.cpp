// The download folder and the files made in it, against another local user
// who shares the system temporary folder: planted links, folders of someone
// else's, folders others may write in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>

#include "core/download/package_download.hpp"
#include "core/files/private_folder.hpp"
#include "core/files/writable_file.hpp"

namespace tvlib {
namespace {

namespace fs = std::filesystem;

class SharedTemp : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tvlib-private-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  static std::string contents(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }

  static mode_t mode_of(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0);
    return status.st_mode & 07777;
  }

  // The text the download folder is refused with, empty when it is accepted.
  std::string refusal() const {
    try {
      download::download_folder(root_);
    } catch (const files::UnsafeFolder& e) {
      return e.what();
    }
    return {};
  }

  fs::path root_;
};

TEST_F(SharedTemp, ANewFileNeverOpensWhatIsThereALinkIncluded) {
  const fs::path victim = root_ / "the user's own file";
  std::ofstream(victim) << "precious";
  const fs::path planted = root_ / "pkg.ms.tmp-1-1";
  fs::create_symlink(victim, planted);
  try {
    std::fclose(files::create_new_file(planted));
    ADD_FAILURE() << "a planted link was opened";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::file_exists);
  }
  fs::remove(planted);
  fs::create_symlink(root_ / "not there yet", planted);  // a dangling link too
  EXPECT_THROW(std::fclose(files::create_new_file(planted)), std::system_error);
  EXPECT_FALSE(fs::exists(root_ / "not there yet"));
  EXPECT_THROW(std::fclose(files::create_new_file(victim)), std::system_error);
  EXPECT_EQ(contents(victim), "precious");

  const fs::path made = root_ / "pkg.ms.tmp-1-2";
  std::fclose(files::create_new_file(made));
  EXPECT_EQ(mode_of(made), 0600U);
  EXPECT_THROW(files::create_new_file(root_ / "missing" / "x"), std::system_error);
}

TEST_F(SharedTemp, TheDownloadFolderIsMadeForItsOwnerAlone) {
  ::umask(0);  // even so
  const fs::path folder = download::download_folder(root_);
  ::umask(022);
  EXPECT_EQ(folder, root_ / "Kolvaren");
  EXPECT_EQ(mode_of(folder), 0700U);
  EXPECT_EQ(download::download_folder(root_), folder);  // and taken again
  ::chmod(folder.c_str(), 0755);  // readable by others, as a plain mkdir makes it
  EXPECT_EQ(refusal(), "");
}

TEST_F(SharedTemp, AFolderSomeoneElseCouldChangeIsRefused) {
  const fs::path folder = root_ / "Kolvaren";
  const fs::path elsewhere = root_ / "elsewhere";
  fs::create_directory(elsewhere, root_);
  ::chmod(elsewhere.c_str(), 0700);
  fs::create_directory_symlink(elsewhere, folder);
  EXPECT_EQ(refusal(), "the download folder " + folder.string() +
                           " is refused: it is a symbolic link, which someone else "
                           "may have planted");
  fs::remove(folder);

  fs::create_directory(folder);
  for (const mode_t mode : {0770U, 0702U, 01777U}) {
    ::chmod(folder.c_str(), mode);
    std::ostringstream octal;
    octal << std::oct << mode;
    const std::string shown = std::string(4 - octal.str().size(), '0') + octal.str();
    EXPECT_EQ(refusal(), "the download folder " + folder.string() +
                             " is refused: other users may write in it (mode " + shown +
                             ")");
  }
  ::chmod(folder.c_str(), 0700);
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can give a folder to another user";
  }
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0) << std::strerror(errno);
  EXPECT_EQ(refusal(), "the download folder " + folder.string() +
                           " is refused: it belongs to another user (user id 65534)");
}

}  // namespace
}  // namespace tvlib
