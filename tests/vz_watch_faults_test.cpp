// The watch (MonitoredKey) under resource faults: no inotify watches left,
// the standard descriptors closed, a missing root; why get_fd has no
// descriptor; and the test hook that lets a callback's exception through.
//
// inotify_add_watch is interposed below (the executable's definition comes
// before libc's for the shared utility library), so that a test can make it
// fail as a system out of watches would.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orv/error.h"
#include "orv/path.h"
#include "orv/settings.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

std::atomic<int> g_watches_left{-1};  // below 0: no limit
std::atomic<int> g_watch_calls{0};

}  // namespace

extern "C" int inotify_add_watch(int fd, const char* name, uint32_t mask) __THROW {
  using Real = int (*)(int, const char*, uint32_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "inotify_add_watch"));
  ++g_watch_calls;
  int left = g_watches_left.load();
  while (left >= 0) {
    if (left == 0) {
      errno = ENOSPC;
      return -1;
    }
    if (g_watches_left.compare_exchange_weak(left, left - 1)) break;
  }
  return real(fd, name, mask);
}

namespace {

namespace fs = std::filesystem;
namespace sm = orv::setMgmt;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Texts = std::vector<std::string>;

std::string Error(int result) {
  return result < 0 ? std::to_string(orverrno.code()) + " " + orverrno.message() : "ok";
}

void Watch(sm::MonitoredKey& watch, const char* key) {
  watch.key.add_piece(true, key);
  watch.recursive = true;
}

// Levels and texts of the lines caught.
Texts Logged(const LogCapture& log) {
  Texts lines;
  for (const LogLine& line : log.Lines())
    lines.push_back(std::to_string(line.level) + " " + line.text);
  return lines;
}

TEST(WatchFaultsTest, RunningOutOfWatchesLosesTheWatchUntilThereAreAgain) {
  TempStore store;
  store.Set("/devices/d1/macs/m1", "i1");
  store.Set("/devices/d2/display_name", "two");
  LogCapture log(2);
  sm::MonitoredKey watch;
  Watch(watch, "/devices");
  g_watches_left = 2;  // /devices, d1 (or d2), and no more
  EXPECT_LT(watch.get_fd(), 1);
  EXPECT_EQ(orverrno.code(), sm::kIoError);
  EXPECT_THAT(orverrno.message(), StartsWith("cannot watch " + store.root() + "/devices/"));
  EXPECT_THAT(orverrno.message(), HasSubstr(": No space left on device (out of inotify watches"));
  // Asked again at once: no new attempt, no new line, the same reason.
  const int calls = g_watch_calls;
  const std::string reason = orverrno.message();
  orverrno.set(0, "");
  EXPECT_LT(watch.get_fd(), 1);
  EXPECT_EQ(orverrno.message(), reason);
  EXPECT_EQ(g_watch_calls, calls);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(Logged(log)[0], "0 settings: " + reason);

  // Watches to spare again: after the back-off the watch is set up.
  g_watches_left = -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_GE(watch.get_fd(), 1);
  EXPECT_EQ(Logged(log).back(), "2 settings: watching " + store.root() + "/devices again");

  // Running out while watching: a new node can't be watched, which loses the
  // watch (changes in it would go unreported).
  g_watches_left = 0;
  store.Set("/devices/d3/display_name", "three");
  watch.read_notifications();
  EXPECT_LT(watch.get_fd(), 1) << "lost";
  EXPECT_LT(watch.get_fd(), 1) << "backing off";
  EXPECT_THAT(orverrno.message(),
              StartsWith("cannot watch " + store.root() + "/devices/d3: No space left"));
  EXPECT_EQ(log.Lines().size(), 3u);
  g_watches_left = -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_GE(watch.get_fd(), 1);
}

TEST(WatchFaultsTest, KeptDescriptorsAreNeverTheStandardOnes) {
  TempStore store;
  store.Set("/w/a", "1");
  const int saved_stdin = dup(0);
  ASSERT_GE(saved_stdin, 0);
  close(0);
  ASSERT_EQ(sm::set_root(store.root()), 0);  // forgets the kept root directory
  std::string value;
  EXPECT_EQ(sm::getKey("/w/a", value), 1);
  sm::MonitoredKey watch;
  Watch(watch, "/w");
  const int fd = watch.get_fd();
  const bool zero_free = fcntl(0, F_GETFD) == -1;
  watch.cancel();
  dup2(saved_stdin, 0);
  close(saved_stdin);
  EXPECT_GE(fd, 3);
  EXPECT_TRUE(zero_free) << "the store kept descriptor 0";
}

TEST(WatchFaultsTest, ErrorsNameTheRootWhenTheRootIsTheProblem) {
  TempStore store;
  LogCapture log(2);
  const std::string missing = store.root() + "/nonexistent/root";
  ASSERT_EQ(sm::set_root(missing), 0);
  std::string value;
  orv::storage::NodeInfo info;
  const std::string why = "settings root " + missing + ": No such file or directory";
  EXPECT_EQ(Error(sm::getKey("/a", value)), "4 key /a not found: " + why);
  EXPECT_EQ(Error(sm::statKey("/a", info)), "4 key /a not found: " + why);
  EXPECT_EQ(Error(sm::setKey("/a", "1")), "3 " + why);
  sm::MonitoredKey watch;
  Watch(watch, "/devices");
  for (int i = 0; i < 3; ++i) {
    EXPECT_LT(watch.get_fd(), 1);
    EXPECT_EQ(Error(-1), "4 cannot watch " + missing + "/devices: No such file or directory");
  }
  EXPECT_EQ(Logged(log),
            Texts{"0 settings: cannot watch " + missing + "/devices: No such file or directory"});
  // Made: the store and the watch work, and the log says so once.
  fs::create_directories(missing + "/devices");
  EXPECT_GE(watch.get_fd(), 1);
  EXPECT_EQ(log.Lines().size(), 2u);
  EXPECT_EQ(Logged(log).back(), "2 settings: watching " + missing + "/devices again");
  // A file where the root should be.
  const std::string file = store.root() + "/file";
  std::ofstream(file) << "x";
  ASSERT_EQ(sm::set_root(file), 0);
  EXPECT_EQ(Error(sm::setKey("/a", "1")), "3 settings root " + file + ": Not a directory");
  EXPECT_EQ(Error(sm::getKey("/a", value)), "3 settings root " + file + ": Not a directory");
}

int Throw(const orv::path& key) { throw std::runtime_error("from " + key.str()); }

TEST(WatchFaultsTest, UnguardedCallbacksLetExceptionsThrough) {
  TempStore store;
  store.Set("/w/a", "0");
  LogCapture log(0);
  setenv("ORV_SETTINGS_UNGUARDED_CALLBACKS", "1", 1);
  sm::MonitoredKey unguarded;
  unsetenv("ORV_SETTINGS_UNGUARDED_CALLBACKS");
  sm::MonitoredKey guarded;
  for (sm::MonitoredKey* watch : {&unguarded, &guarded}) {
    Watch(*watch, "/w");
    watch->callback = Throw;
    ASSERT_GE(watch->get_fd(), 1);
  }
  store.Set("/w/a", "1");
  EXPECT_THROW(unguarded.read_notifications(), std::runtime_error);
  EXPECT_EQ(log.Lines().size(), 0u);
  EXPECT_EQ(guarded.read_notifications(), 1);
  EXPECT_TRUE(log.Contains(0, "notification callback for /w/a threw: from /w/a"));
}

TEST(WatchFaultsTest, ALostWatchSaysWhy) {
  TempStore store;
  store.Set("/w/a", "0");
  sm::MonitoredKey watch;
  Watch(watch, "/w");
  ASSERT_GE(watch.get_fd(), 1);
  store.Delete("/w");
  watch.read_notifications();
  EXPECT_LT(watch.get_fd(), 1);
  EXPECT_EQ(Error(-1), "4 lost the watch of " + store.root() + "/w: the node was deleted or moved");
}

}  // namespace
