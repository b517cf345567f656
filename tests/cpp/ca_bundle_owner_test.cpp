// An extra CA bundle that another local user could change is refused: the
// file's owner and modes, and those of the folders it lies in, as POSIX has
// them. Run as root, "another user" is nobody.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/files/path_text.hpp"
#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

namespace fs = std::filesystem;

class ExtraBundleOwner : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tvlib-bundle-" + std::to_string(process_id()) + "-" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    ::chmod(root_.c_str(), 0755);
  }
  void TearDown() override { fs::remove_all(root_); }

  // A bundle of the trusted CA at `path`, with `mode`; its folder is made
  // with `folder_mode`.
  static fs::path bundle(const fs::path& path, mode_t mode, mode_t folder_mode = 0755) {
    fs::create_directories(path.parent_path());
    EXPECT_EQ(::chmod(path.parent_path().c_str(), folder_mode), 0);
    std::ofstream(path, std::ios::binary) << pki().trusted.pem();
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }

  static void give_to_nobody(const fs::path& path) {
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(::lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }

  // The error text of a request that trusts `file`, or "" when it succeeds.
  static std::string outcome(const fs::path& file) {
    static TestServer server([](const Received& /*request*/, Connection& connection) {
      connection.send(reply(200, "ok"));
    });
    http::Request request = get(server.url("/"));
    request.ca_bundle = files::utf8_of(file);
    http::Client client;
    try {
      return client.send(request).body == "ok" ? "" : "wrong body";
    } catch (const http::TransportError& error) {
      return error.what();
    }
  }

  static void expect_refused(const fs::path& file, const std::string& why) {
    const std::string text = outcome(file);
    EXPECT_NE(text.find("KOLVAREN_CA_BUNDLE (" + file.string() + ") is refused"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(why), std::string::npos) << text;
  }

  fs::path root_;
};

TEST_F(ExtraBundleOwner, FilesOthersCanWriteOrOwnAreRefused) {
  expect_refused(bundle(root_ / "group.pem", 0664), "its group may write it");
  expect_refused(bundle(root_ / "others.pem", 0646), "other users may write it");
  const fs::path theirs = bundle(root_ / "theirs.pem", 0644);
  give_to_nobody(theirs);
  expect_refused(theirs, "it belongs to another user (uid");
}

TEST_F(ExtraBundleOwner, FoldersOthersCanChangeAreRefused) {
  // Without the sticky bit anyone may rename the file aside and put another.
  const fs::path open = bundle(root_ / "open" / "ca.pem", 0644, 0777);
  expect_refused(open, (root_ / "open").string() + ", which other users may write");
  const fs::path group = bundle(root_ / "group" / "ca.pem", 0644, 0775);
  expect_refused(group, (root_ / "group").string() + ", which its group may write");
  const fs::path theirs = bundle(root_ / "theirs" / "ca.pem", 0644);
  give_to_nobody(root_ / "theirs");
  expect_refused(theirs,
                 (root_ / "theirs").string() + ", which belongs to another user");
  // A folder further up counts as well.
  const fs::path deep = bundle(root_ / "up" / "down" / "ca.pem", 0644);
  ASSERT_EQ(::chmod((root_ / "up").c_str(), 0777), 0);
  expect_refused(deep, (root_ / "up").string() + ", which other users may write");
}

TEST_F(ExtraBundleOwner, OwnFilesInOwnOrStickyFoldersAreTrusted) {
  EXPECT_EQ(outcome(bundle(root_ / "plain.pem", 0644)), "");
  EXPECT_EQ(outcome(bundle(root_ / "private.pem", 0600)), "");
  // As in /tmp: others may add files, but not replace this one.
  EXPECT_EQ(outcome(bundle(root_ / "sticky" / "ca.pem", 0600, 01777)), "");
  // A link is judged by where it leads, and where the link itself lies.
  const fs::path target = bundle(root_ / "real" / "ca.pem", 0644);
  fs::create_symlink(target, root_ / "link.pem");
  EXPECT_EQ(outcome(root_ / "link.pem"), "");
}

TEST_F(ExtraBundleOwner, ALinkIntoAFolderOthersCanWriteIsRefused) {
  const fs::path target = bundle(root_ / "open" / "ca.pem", 0644, 0777);
  fs::create_symlink(target, root_ / "link.pem");
  expect_refused(root_ / "link.pem", (root_ / "open").string() + ", which other users");
}

}  // namespace
}  // namespace tvlib::test
