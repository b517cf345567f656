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
#include "http_test_support.hpp"

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

TEST_F(SharedTemp, AFolderAboveThatOthersCouldRenameInIsRefused) {
  // /tmp's way: others may write, the sticky bit keeps them to their own names.
  ::chmod(root_.c_str(), 01777);
  EXPECT_EQ(refusal(), "");
  fs::remove(root_ / "Kolvaren");
  ::chmod(root_.c_str(), 0777);
  EXPECT_EQ(refusal(), "the download folder " + (root_ / "Kolvaren").string() +
                           " is refused: other users may write in the folder " +
                           root_.string() +
                           " above it, which lacks the sticky bit (mode 0777), so they "
                           "could put another folder in its place");
  // An existing download folder too: it could be renamed aside all the same.
  EXPECT_NE(refusal(), "");
  const fs::path deeper = root_ / "a" / "b";
  fs::create_directories(deeper);
  ::chmod((root_ / "a").c_str(), 0755);
  EXPECT_THROW(download::download_folder(deeper), files::UnsafeFolder);
  ::chmod(root_.c_str(), 0755);
  EXPECT_EQ(download::download_folder(deeper), deeper / "Kolvaren");
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can give a folder to another user";
  }
  ASSERT_EQ(::chown((root_ / "a").c_str(), 65534, 65534), 0) << std::strerror(errno);
  EXPECT_EQ(refusal(), "");
  try {
    download::download_folder(deeper);
    ADD_FAILURE() << "a folder under another user's folder was taken";
  } catch (const files::UnsafeFolder& e) {
    EXPECT_NE(std::string(e.what()).find((root_ / "a").string() +
                                         " above it belongs to another user (user id "
                                         "65534)"),
              std::string::npos)
        << e.what();
  }
}

// Another user's move, made while the body arrives: the checked folder is
// renamed aside and one of theirs put in its place.
class SwapOnFirstPiece final : public download::ProgressSink {
 public:
  SwapOnFirstPiece(fs::path folder, fs::path aside)
      : folder_(std::move(folder)), aside_(std::move(aside)) {}
  void on_percentage(int /*pct*/) override {
    if (!swapped_) {
      swapped_ = true;
      fs::rename(folder_, aside_);
      fs::create_directory(folder_);
      ::chmod(folder_.c_str(), 0700);
    }
  }

 private:
  fs::path folder_;
  fs::path aside_;
  bool swapped_ = false;
};

TEST_F(SharedTemp, ThePackageIsWrittenIntoTheFolderThatWasChecked) {
  const fs::path folder = download::download_folder(root_);
  const std::string body(200000, 'k');
  test::TestServer server([&](const test::Received& /*request*/, test::Connection& c) {
    c.send(test::reply(200, body));
  });
  http::Client client;
  SwapOnFirstPiece swap(folder, root_ / "aside");
  std::string error;
  try {
    download::download_package(client,
                               {server.url("/license/download/T"),
                                "pkg.ms",
                                folder / "pkg.ms",
                                {},
                                "2.4.0",
                                0,
                                test::ca_bundle()},
                               swap);
  } catch (const std::exception& e) {
    error = e.what();
  }
  // Nothing reaches the planted folder, and the run does not pass for a
  // success that the host would then read from it.
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_EQ(error, "the download folder " + folder.string() +
                       " is refused: it was moved or replaced while the package was "
                       "written");
  EXPECT_TRUE(contents(root_ / "aside" / "pkg.ms") == body);
}

}  // namespace
}  // namespace tvlib
