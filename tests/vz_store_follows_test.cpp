// The store as a stray tool or a short-handed process leaves it (a root
// replaced under a running watch: sync_follows_store_test):
// - a node that can't be watched for a reason other than being gone
//   (descriptors run short here; a node its client may not read in
//   sync_follows_store_test) loses the watch until the whole tree is watched;
// - special files (FIFO, socket, device) are neither values nor nodes:
//   listings leave them out with a warning and no read opens one;
// - the node reader refuses what getKey refuses, with the same records.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "orv/error.h"
#include "orv/settings.h"
#include "orv/settings_reader.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

namespace fs = std::filesystem;
namespace sm = orv::setMgmt;
using Texts = std::vector<std::string>;

Texts g_reported;
int Record(const orv::path& key) {
  g_reported.push_back(key.str());
  return 0;
}

class StoreFollowsTest : public ::testing::Test {
 protected:
  StoreFollowsTest() {
    watch_.key.add_piece(true, "/w");
    watch_.recursive = true;
    watch_.callback = Record;
  }
  Texts Reported() {
    g_reported.clear();
    watch_.read_notifications();
    return g_reported;
  }
  // PlantSpecials makes a FIFO, a socket and (where mknod is allowed) a
  // device node below /s, beside a value and a node, and returns their names.
  Texts PlantSpecials() {
    store_.Set("/s/value", "v");
    store_.Set("/s/node/v", "v");
    const std::string dir = base_ + "/s/";
    Texts names = {"fifo", "socket"};
    EXPECT_EQ(mkfifo((dir + "fifo").c_str(), 0644), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (dir + "socket").copy(address.sun_path, sizeof(address.sun_path) - 1);
    socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    if (mknod((dir + "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) names.push_back("null");
    return names;
  }
  ~StoreFollowsTest() override { close(socket_); }

  TempStore store_;
  const std::string base_ = store_.root();
  LogCapture log_{2};
  sm::MonitoredKey watch_;
  int socket_ = -1;
};

// Watching a tree takes one directory's descriptor at a time, however deep:
// with two to spare (the notifications, a directory) a tree seven levels deep
// is watched whole. With one the watch can't be had: get_fd says why and
// backs off; then, with descriptors to spare and after the back-off, the
// whole tree is watched again.
TEST_F(StoreFollowsTest, WatchingTakesADescriptorAtATimeAndBacksOffWithoutOne) {
  // Counted to the descriptor: a sanitizer's own checks take some (a pipe to
  // probe memory), and so does qemu's user mode ($ORV_TESTS_EMULATED).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer takes descriptors of its own";
#endif
  if (std::getenv("ORV_TESTS_EMULATED") != nullptr) GTEST_SKIP() << "qemu takes descriptors";
  std::string deep = "/w";
  for (int i = 1; i <= 6; ++i) deep += "/n" + std::to_string(i);
  ASSERT_EQ(sm::setKey(deep + "/v", "1"), 0);
  const pid_t child = fork();
  if (child == 0) {
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    // get_fd with `spare` descriptors free; what it records in orverrno.
    const auto get_fd_with = [&](int spare, int& fd) {
      rlimit few = saved;
      few.rlim_cur = static_cast<rlim_t>(dup(0)) + spare;  // the lowest free one
      close(static_cast<int>(few.rlim_cur) - spare);
      setrlimit(RLIMIT_NOFILE, &few);
      fd = watch_.get_fd();
      const std::string why = Error(fd < 1 ? -1 : 0);
      setrlimit(RLIMIT_NOFILE, &saved);
      return why;
    };
    int fd = -1;
    EXPECT_EQ(get_fd_with(2, fd), "ok");
    sm::setKey(deep + "/v", "2");
    EXPECT_EQ(Reported(), Texts{deep + "/v"});
    watch_.cancel();
    EXPECT_EQ(get_fd_with(1, fd), "3 cannot watch " + base_ + "/w: Too many open files");
    EXPECT_LT(watch_.get_fd(), 1) << "backing off";
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_GE(watch_.get_fd(), 1);
    sm::setKey(deep + "/v", "3");
    EXPECT_EQ(Reported(), Texts{deep + "/v"});
    _exit(HasFailure() ? 1 : 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// Listings leave special files out, with a warning, and no read opens one.
// The node reader reads what getKey reads and records the same refusals;
// `unreadable` counts what is there but can't be read, not what is missing.
TEST_F(StoreFollowsTest, SpecialFilesAreLeftOutAndTheNodeReaderRefusesWhatGetKeyRefuses) {
  const Texts specials = PlantSpecials();
  Texts names;
  ASSERT_EQ(sm::enumSubkeys("/s", names), 2);
  sm::NodeReader reader("/s");
  EXPECT_EQ(reader.names(), names);
  EXPECT_EQ(names, (Texts{"node", "value"}));
  // Each listing warns of each, in the directory's order (the file system's).
  Texts warned;
  for (int listing = 0; listing < 2; ++listing) {
    for (const std::string& name : specials) {
      warned.push_back("2 settings: leaving out /s/" + name +
                       ": a special file is neither a value nor a node");
    }
  }
  Texts logged = log_.Messages();
  std::sort(logged.begin(), logged.end());
  std::sort(warned.begin(), warned.end());
  EXPECT_EQ(logged, warned);
  const std::string dir = base_ + "/s/";
  fs::create_symlink(dir + "value", dir + "link");
  fs::create_symlink("nowhere", dir + "dangling");
  std::ofstream(dir + "large") << std::string(sm::kMaxValueSize + 1, 'x');
  // An inotify watch on each special file tells whether anything opened it.
  const int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  for (const std::string& name : specials) {
    ASSERT_GE(inotify_add_watch(watcher, (dir + name).c_str(), IN_OPEN), 0);
  }
  sm::NodeReader listed_again("/s");
  const sm::ReadPass pass;
  Texts all = {"value", "node", "link", "dangling", "large", "absent"};
  all.insert(all.end(), specials.begin(), specials.end());
  for (const std::string& name : all) {
    std::string by_key = "untouched", by_reader = "untouched";
    const std::string expected = Error(sm::getKey("/s/" + name, by_key));
    EXPECT_EQ(Error(listed_again.getKey(name, by_reader)) + by_reader, expected + by_key);
    EXPECT_EQ(listed_again.getKeyValue(name, -7), sm::getKeyValue("/s/" + name, -7)) << name;
  }
  EXPECT_EQ(Error(sm::getKey("/s/fifo", names[0])), "5 key /s/fifo: is not a value");
  char events[4096];
  EXPECT_EQ(read(watcher, events, sizeof events), -1) << "a special file was opened";
  close(watcher);
  EXPECT_EQ(listed_again.unreadable(), 2 * (4 + static_cast<int>(specials.size())))
      << "node, link, dangling, large and the special files, each read twice";
  std::string value;
  EXPECT_EQ(Error(listed_again.getKey("link", value)), "6 key /s/link is a symbolic link");
  // A value gone since the listing is simply not there.
  fs::remove(dir + "value");
  const int unreadable = listed_again.unreadable();
  EXPECT_EQ(Error(listed_again.getKey("value", value)), "4 key /s/value not found");
  EXPECT_EQ(listed_again.unreadable(), unreadable);
  // Readers of child nodes: one there, one missing, one a link.
  sm::NodeReader child(listed_again, "node"), missing(listed_again, "absent"),
      through_link(listed_again, "link");
  EXPECT_EQ(Error(child.getKey("v", value)) + value, "okv");
  EXPECT_EQ(Error(missing.getKey("v", value)), "4 key /s/absent/v not found");
  EXPECT_EQ(Error(through_link.getKey("v", value)), "6 key /s/link is a symbolic link");
}

}  // namespace
