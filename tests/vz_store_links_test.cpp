// The store never leaves its root: symbolic links planted in the tree (to a
// directory, to a file, a loop, a dangling one) are refused or removed
// themselves by every operation, and a canary directory beside the root
// stays as it was.

#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "orv/error.h"
#include "orv/path.h"
#include "orv/settings.h"
#include "support/log_capture.h"

namespace {

namespace fs = std::filesystem;
namespace sm = orv::setMgmt;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Texts = std::vector<std::string>;

std::string Error(int result) {
  return result < 0 ? std::to_string(orverrno.code()) + " " + orverrno.message() : "ok";
}

void Write(const std::string& file, const std::string& text) { std::ofstream(file) << text; }

// Snapshot lists every file below `directory` with its kind and contents.
std::string Snapshot(const std::string& directory) {
  Texts lines;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    std::string line = entry.path().string();
    if (entry.is_symlink()) {
      line += " -> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_regular_file()) {
      std::ostringstream text;
      text << std::ifstream(entry.path()).rdbuf();
      line += " = " + text.str();
    } else {
      line += "/";
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// A sandbox: <dir>/root is the store, <dir>/canary must never change, and
// <dir>/outside is where the test itself writes behind the store's back.
class LinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orv-links-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    root_ = dir_ + "/root";
    canary_ = dir_ + "/canary";
    for (const std::string& d : {root_, canary_, canary_ + "/sub", dir_ + "/outside"}) {
      fs::create_directory(d);
    }
    Write(canary_ + "/secret", "canary");
    Write(canary_ + "/sub/deep", "deep");
    ASSERT_EQ(sm::set_root(root_), 0);
    ASSERT_EQ(sm::setKey("/devices/d1/display_name", "TV"), 0);
    fs::create_directory_symlink(canary_, root_ + "/devices/dir_link");
    fs::create_directory_symlink("../../canary/sub", root_ + "/devices/relative_link");
    fs::create_symlink(canary_ + "/secret", root_ + "/devices/d1/file_link");
    fs::create_symlink("loop", root_ + "/devices/loop");
    fs::create_symlink(canary_ + "/planted", root_ + "/devices/dangling");
    canary_before_ = Snapshot(canary_);
  }

  void TearDown() override {
    EXPECT_EQ(Snapshot(canary_), canary_before_) << "the canary changed";
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  bool IsLink(const std::string& file) const { return fs::is_symlink(root_ + file); }

  std::string dir_, root_, canary_, canary_before_;
};

const Texts kLinks = {"/devices/dir_link", "/devices/relative_link", "/devices/d1/file_link",
                      "/devices/loop", "/devices/dangling"};

// WithoutOpenat2 runs `body` in a child process in which the openat2 system
// call fails with ENOSYS (as on an old kernel, or under a seccomp filter that
// doesn't know it), so that the store resolves keys by its own walk.
template <typename Body>
void WithoutOpenat2(Body body) {
#ifdef __NR_openat2
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(2);
    }
    if (syscall(__NR_openat2, AT_FDCWD, ".", nullptr, 0) != -1 || errno != ENOSYS) _exit(3);
    body();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the store's walk failed (see above)";
#else
  GTEST_SKIP() << "no openat2 here: every run walks";
  static_cast<void>(body);
#endif
}

void RefusesEveryLink(const std::string& root) {
  LogCapture log(0);
  for (const std::string& link : kLinks) {
    const std::string refused =
        std::to_string(sm::kSymbolicLink) + " key " + link + " is a symbolic link";
    for (const std::string& key : {link, link + "/display_name", link + "/a/b"}) {
      std::string value = "untouched";
      Texts names;
      orv::storage::NodeInfo info;
      EXPECT_EQ(Error(sm::getKey(key, value)), refused) << key;
      EXPECT_EQ(value, "untouched");
      EXPECT_EQ(sm::getKeyValue(key, std::string("fallback")), "fallback");
      EXPECT_EQ(Error(sm::setKey(key, "written")), refused) << key;
      EXPECT_EQ(Error(sm::enumSubkeys(key, names)), refused) << key;
      EXPECT_EQ(names, Texts{});
      EXPECT_EQ(Error(sm::statKey(key, info)), refused) << key;
      if (key != link) {
        EXPECT_EQ(Error(sm::deleteKey(key)), refused) << key;
      }
      sm::MonitoredKey watch;
      watch.key.add_piece(true, key);
      watch.recursive = true;
      EXPECT_LT(watch.get_fd(), 1) << key;
      EXPECT_EQ(orverrno.code(), sm::kSymbolicLink) << key;
      EXPECT_EQ(orverrno.message(),
                "cannot watch " + root + key + ": " + root + link + " is a symbolic link");
    }
    EXPECT_TRUE(fs::is_symlink(root + link)) << link;
  }
  // A watch logs why it can't be set up, once per reason.
  EXPECT_EQ(log.Lines().size(), 3 * kLinks.size());
}

TEST_F(LinksTest, EveryOperationRefusesALinkAndNamesIt) {
  RefusesEveryLink(root_);
  EXPECT_FALSE(fs::exists(canary_ + "/planted"));
}

TEST_F(LinksTest, TheWalkWithoutOpenat2RefusesThemToo) {
  WithoutOpenat2([this] { RefusesEveryLink(root_); });
  EXPECT_FALSE(fs::exists(canary_ + "/planted"));
}

TEST_F(LinksTest, ListingsLeaveLinksOutAndDeletingRemovesOnlyTheLink) {
  Texts names;
  ASSERT_EQ(sm::enumSubkeys("/devices", names), 1);
  EXPECT_EQ(names, Texts{"d1"});
  names.clear();
  ASSERT_EQ(sm::enumSubkeys("/devices/d1", names), 1);
  EXPECT_EQ(names, Texts{"display_name"});

  // One link deleted by its key: the link goes, its target stays.
  EXPECT_EQ(sm::deleteKey("/devices/dir_link"), 0);
  EXPECT_FALSE(IsLink("/devices/dir_link"));
  EXPECT_EQ(Error(sm::deleteKey("/devices/dir_link")), "4 key /devices/dir_link not found");
  // The rest with the node holding them.
  EXPECT_EQ(sm::deleteKey("/devices"), 0);
  EXPECT_FALSE(fs::exists(root_ + "/devices"));
  // And the store works as before.
  EXPECT_EQ(sm::setKey("/devices/d1/display_name", "again"), 0);
  EXPECT_EQ(sm::getKeyValue("/devices/d1/display_name", std::string()), "again");
}

int g_reports = 0;
int Count(const orv::path&) { return ++g_reports; }

TEST_F(LinksTest, AWatchNeverReachesThroughALink) {
  fs::create_directory_symlink(dir_ + "/outside", root_ + "/devices/d1/out");
  sm::MonitoredKey watch;
  watch.key.add_piece(true, "/devices");
  watch.recursive = true;
  watch.callback = Count;
  ASSERT_GE(watch.get_fd(), 1);
  g_reports = 0;
  Write(dir_ + "/outside/value", "behind the store's back");
  fs::create_directory(dir_ + "/outside/node");
  Write(dir_ + "/outside/node/value", "deeper");
  EXPECT_EQ(watch.read_notifications(), 0);
  EXPECT_EQ(g_reports, 0);
  // A link made while watching is not followed either.
  fs::create_directory_symlink(dir_ + "/outside", root_ + "/devices/late");
  Write(dir_ + "/outside/node/value", "deeper still");
  EXPECT_EQ(watch.read_notifications(), 0);
  // The store's own changes still come.
  ASSERT_EQ(sm::setKey("/devices/d1/display_name", "x"), 0);
  EXPECT_EQ(watch.read_notifications(), 1);
}

TEST_F(LinksTest, TheRootItselfMayBeReachedThroughALink) {
  const std::string via = dir_ + "/root_link";
  fs::create_directory_symlink(root_, via);
  ASSERT_EQ(sm::set_root(via), 0);
  EXPECT_EQ(sm::setKey("/devices/d2/display_name", "two"), 0);
  EXPECT_EQ(sm::getKeyValue("/devices/d2/display_name", std::string()), "two");
  std::string value;
  EXPECT_THAT(Error(sm::getKey("/devices/loop", value)), HasSubstr("symbolic link"));
  sm::MonitoredKey watch;
  watch.key.add_piece(true, "/devices");
  EXPECT_GE(watch.get_fd(), 1);
  EXPECT_EQ(sm::deleteKey("/devices/d2"), 0);
  EXPECT_TRUE(fs::is_symlink(via));
}

}  // namespace
