#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "orv/settings.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

using orv::setMgmt::MonitoredKey;

// The callbacks are plain function pointers, so what they see goes here.
std::vector<std::string> g_reported;

int Record(const orv::path& key) {
  g_reported.push_back(key.str());
  return 0;
}

int RecordThenThrow(const orv::path& key) {
  g_reported.push_back(key.str());
  if (key.str() == "/w/bad") throw std::runtime_error("boom");
  if (key.str() == "/w/worse") throw 42;
  return 0;
}

void Watch(MonitoredKey& watch, const std::string& key, bool recursive,
           MonitoredKey::Callback callback = Record) {
  watch.key.add_piece(true, key);
  watch.recursive = recursive;
  watch.callback = callback;
  g_reported.clear();
}

bool Readable(int fd, int timeout_ms) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, timeout_ms) == 1 && (entry.revents & POLLIN);
}

// Reported returns what the watch reports until `wanted` distinct keys are in
// (or a deadline passes), plus whatever else was already pending. The file
// system queues its events before the changing call returns, so the waiting
// only covers slow machines. The descriptor is taken once: asking get_fd again
// would use up the signal of a lost watch.
std::vector<std::string> Reported(MonitoredKey& watch, std::size_t wanted) {
  g_reported.clear();
  const int fd = watch.get_fd();
  EXPECT_GE(fd, 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int total = 0;
  bool watching = fd >= 1;
  while (watching && std::set<std::string>(g_reported.begin(), g_reported.end()).size() < wanted &&
         std::chrono::steady_clock::now() < deadline) {
    if (!Readable(fd, 100)) continue;
    const int count = watch.read_notifications();
    watching = count >= 0;
    total += std::max(count, 0);
  }
  // A lost watch has closed fd, which then never polls readable.
  if (watching && Readable(fd, 0)) total += std::max(watch.read_notifications(), 0);
  EXPECT_EQ(total, static_cast<int>(g_reported.size()));
  return g_reported;
}

std::set<std::string> AsSet(const std::vector<std::string>& keys) {
  return std::set<std::string>(keys.begin(), keys.end());
}

using Keys = std::vector<std::string>;

TEST(MonitoredKeyTest, ReportsValuesWrittenChangedAndDeleted) {
  TempStore store;
  store.Set("/w/existing", "0");
  MonitoredKey watch;
  Watch(watch, "/w", true);
  const int fd = watch.get_fd();
  ASSERT_GE(fd, 1);
  EXPECT_FALSE(Readable(fd, 0)) << "existing content is not a change";
  EXPECT_EQ(watch.read_notifications(), 0);

  store.Set("/w/a", "1");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/a"});
  store.Set("/w/a", "2");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/a"});
  store.Set("/outside", "x");
  store.Delete("/w/a");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/a"});
  // A value written in place by another tool counts too.
  std::ofstream(store.root() + "/w/existing") << "edited";
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/existing"});
  EXPECT_EQ(watch.get_fd(), fd);
}

TEST(MonitoredKeyTest, NewNodesReportTheirValuesAndDeletedNodesReportOnce) {
  TempStore store;
  store.Set("/w/init", "0");
  MonitoredKey watch;
  Watch(watch, "/w", true);
  ASSERT_GE(watch.get_fd(), 1);

  store.Set("/w/n/m/v1", "1");
  store.Set("/w/n/v2", "2");
  EXPECT_EQ(AsSet(Reported(watch, 2)), (std::set<std::string>{"/w/n/m/v1", "/w/n/v2"}));
  store.Set("/w/n/m/v1", "changed");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/n/m/v1"});

  store.Delete("/w/n");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/n"});
  store.Set("/w/after", "1");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/after"});
}

TEST(MonitoredKeyTest, WatchingTheRootIgnoresTheStoresOwnFiles) {
  TempStore store;
  MonitoredKey watch;
  Watch(watch, "/", true);
  ASSERT_GE(watch.get_fd(), 1);
  store.Set("/x/y", "1");
  EXPECT_EQ(Reported(watch, 1), Keys{"/x/y"});
  store.Delete("/x");
  EXPECT_EQ(Reported(watch, 1), Keys{"/x"});
}

TEST(MonitoredKeyTest, WithoutRecursionOnlyDirectChildrenCount) {
  TempStore store;
  store.Set("/w/init", "0");
  MonitoredKey watch;
  Watch(watch, "/w", false);
  ASSERT_GE(watch.get_fd(), 1);
  store.Set("/w/n/deep", "1");
  store.Set("/w/direct", "1");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/direct"});
  store.Set("/w/n/deep", "2");
  store.Delete("/w/n");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/n"});
}

TEST(MonitoredKeyTest, LosingTheWatchedNodeIsSignalledOnce) {
  TempStore store;
  MonitoredKey watch;
  Watch(watch, "/w", true);
  EXPECT_LT(watch.get_fd(), 1) << "no node yet";
  EXPECT_LT(watch.read_notifications(), 0);
  EXPECT_LT(watch.get_fd(), 1);

  store.Set("/w/a", "1");
  ASSERT_GE(watch.get_fd(), 1);
  store.Delete("/w");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w"});
  store.Set("/w/b", "1");
  EXPECT_LT(watch.get_fd(), 1) << "the loss is signalled even though the node is back";
  ASSERT_GE(watch.get_fd(), 1);
  store.Set("/w/c", "1");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/c"});

  // Cancelling is not a loss: the next get_fd simply sets up a new watch.
  EXPECT_EQ(watch.cancel(), 0);
  EXPECT_LT(watch.read_notifications(), 0);
  ASSERT_GE(watch.get_fd(), 1);

  MonitoredKey bad;
  Watch(bad, "relative", true);
  EXPECT_LT(bad.get_fd(), 1);
}

TEST(MonitoredKeyTest, QueueOverflowLosesTheWatch) {
  TempStore store;
  int queue_limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue_limit;
  store.Set("/w/init", "0");
  MonitoredKey watch;
  Watch(watch, "/w", true);
  ASSERT_GE(watch.get_fd(), 1);
  for (int i = 0; i < queue_limit + 100; ++i) {
    // Empty new values: replacing written data would make ext4 flush it.
    ASSERT_EQ(orv::setMgmt::setKey("/w/k" + std::to_string(i), ""), 0);
  }
  watch.read_notifications();
  EXPECT_LT(watch.get_fd(), 1);
  ASSERT_GE(watch.get_fd(), 1);
  store.Set("/w/k1", "again");
  EXPECT_EQ(Reported(watch, 1), Keys{"/w/k1"});
}

TEST(MonitoredKeyTest, ThrowingCallbackDoesNotStopTheOthers) {
  TempStore store;
  store.Set("/w/init", "0");
  MonitoredKey watch;
  Watch(watch, "/w", true, RecordThenThrow);
  ASSERT_GE(watch.get_fd(), 1);
  LogCapture capture(0);
  store.Set("/w/bad", "1");
  store.Set("/w/worse", "1");
  store.Set("/w/good", "1");
  EXPECT_EQ(AsSet(Reported(watch, 3)), (std::set<std::string>{"/w/bad", "/w/worse", "/w/good"}));
  EXPECT_TRUE(capture.Contains(0, "notification callback for /w/bad threw: boom"));
  EXPECT_TRUE(capture.Contains(0, "notification callback for /w/worse threw"));
  EXPECT_EQ(capture.Lines().size(), 2u);
}

}  // namespace
