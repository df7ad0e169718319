// The running library follows the store: when the store's root is replaced
// (a restore swaps the directory, or re-points the root's link) the thread
// loses its watch, its status says why, and it reloads the cache from the
// new root; a node it can't watch keeps wait_for_sync from reporting sync
// until the whole tree is watched. A load that finds the root replaced under
// it reads the new one.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "orv/settings.h"
#include "support/library.h"

namespace {

namespace api = orv::devMgmt;
namespace fs = std::filesystem;

class SyncFollowsStoreTest : public LibraryTest {
 protected:
  const std::string base_ = store_.root(), live_ = base_ + "/live";
};

TEST_F(SyncFollowsStoreTest, AReplacedRootIsReloadedAndTheStatusSaysWhy) {
  Set("/a/devices/d1/display_name", "old");
  Set("/b/devices/d1/display_name", "restored");
  Set("/b/devices/d2/macs/m2", "10.0.0.2");
  fs::create_directory_symlink(base_ + "/a", live_);
  ASSERT_EQ(orv::setMgmt::set_root(live_), 0);
  Start();
  fs::create_directory_symlink(base_ + "/b", live_ + ".new");
  fs::rename(live_ + ".new", live_);
  // A write left in the old tree wakes the thread; what it reads is the old
  // tree's, never the new root's.
  std::ofstream(base_ + "/a/devices/d1/display_name") << "left behind";
  ASSERT_TRUE(Eventually([] { return !Status().watching; }));
  const std::string why =
      "lost the watch of " + live_ + "/devices: the store's root " + live_ + " was replaced";
  EXPECT_EQ(Status().last_store_error, why);
  EXPECT_TRUE(Logged("0 settings: " + why));
  EXPECT_EQ(Result(api::wait_for_sync(0)), "-1 110 timed out");
  ASSERT_EQ(api::wait_for_sync(8000), 0);
  EXPECT_EQ(CacheDiffToStore(std::chrono::seconds(1)), "");
  EXPECT_EQ(Cached("d1").substr(0, 22), "d1 p= [] name=restored");
  EXPECT_EQ(Owner("m2"), "d2");
  EXPECT_EQ(Status().descriptors_lost, 1u);  // lost once, and now the new root is watched
  Set("/devices/d2/macs/m3", "10.0.0.3");
  EXPECT_EQ(CacheDiffToStore(std::chrono::seconds(5)), "");
  EXPECT_EQ(Status().descriptors_lost, 1u);
}

// A restore in the middle of a load (here from its first NEW_DEV callback):
// the values the load could no longer open below the old root are read below
// the new one.
std::string g_base;
void SwapRootOnce(orv::DevInfoChangeType, const std::string&, const std::string&) {
  if (fs::exists(g_base + "/next")) {
    fs::rename(g_base + "/live", g_base + "/gone");
    fs::rename(g_base + "/next", g_base + "/live");
    fs::remove_all(g_base + "/gone");
  }
}

TEST_F(SyncFollowsStoreTest, ALoadReadsBelowARootReplacedUnderIt) {
  g_base = base_;
  for (const char* id : {"d1", "d2"}) {
    Set("/live/devices/" + std::string(id) + "/display_name", "old");
    Set("/next/devices/" + std::string(id) + "/display_name", "restored");
    Set("/next/devices/" + std::string(id) + "/macs/m-" + id, "ip");
  }
  ASSERT_EQ(orv::setMgmt::set_root(live_), 0);
  api::set_on_dev_info_change({"display_name"}, SwapRootOnce);
  g_devices.load();
  EXPECT_EQ(Cached("d1").substr(0, 29), "d1 p= [m-d1=ip] name=restored");
  EXPECT_EQ(Cached("d2").substr(0, 29), "d2 p= [m-d2=ip] name=restored");
}

// Run as an unprivileged process (root reads any node): a device's node its
// client may not read is a hole in the watch.
TEST_F(SyncFollowsStoreTest, WaitForSyncReportsNoSyncWhileANodeCantBeWatched) {
  Set("/devices/d1/display_name", "one");
  Set("/devices/d2/display_name", "two");
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0) {
      for (const auto& entry : fs::recursive_directory_iterator(base_)) {
        if (lchown(entry.path().c_str(), 65534, 65534) != 0) _exit(2);
      }
      if (chown(base_.c_str(), 65534, 65534) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
        _exit(77);
      }
    }
    chmod((base_ + "/devices/d2").c_str(), 0);
    // Retries after 50 ms, not after seconds: the store's back-off and the
    // thread's wait.
    setenv("ORV_SETTINGS_WATCH_BACKOFF_MS", "50", 1);
    setenv("ORV_SYNC_RETRY_MS", "50", 1);
    EXPECT_EQ(api::init(), 0);
    EXPECT_EQ(Result(api::wait_for_sync(500)), "-1 110 timed out");
    EXPECT_EQ(Status().last_store_error,
              "cannot watch " + base_ + "/devices/d2: Permission denied");
    chmod((base_ + "/devices/d2").c_str(), 0700);
    EXPECT_EQ(api::wait_for_sync(12000), 0);
    Set("/devices/d2/display_name", "changed");
    EXPECT_EQ(CacheDiffToStore(std::chrono::seconds(5)), "");
    _exit(HasFailure() ? 1 : 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "can't drop privileges";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

}  // namespace
