// Knowing the cache is live: wait_for_sync, the reload event with what
// vanished, and the sync status, against a real store.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/error.h"
#include "orv/settings.h"
#include "support/temp_store.h"

namespace {

using Ids = std::vector<std::string>;

std::mutex g_mutex;
std::vector<Ids> g_reloads;       // guarded by g_mutex
std::vector<std::string> g_keys;  // guarded by g_mutex

void OnReloaded(const Ids& vanished) {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_reloads.push_back(vanished);
}
void OnKey(const std::string& key) {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_keys.push_back(key);
}

// Eventually waits up to 5 s for `done`.
template <class Done>
bool Eventually(Done done) {
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard<std::mutex> hold(g_mutex);
      if (done()) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class SyncHealthTest : public ::testing::Test {
 protected:
  void TearDown() override {
    orv::devMgmt::uninit();
    orv::devMgmt::unset_on_cache_reloaded(OnReloaded);
    orv::devMgmt::unset_on_key_change("^/devices/", OnKey);
  }
  TempStore store_;
};

TEST_F(SyncHealthTest, WaitForSyncThenEveryChangeIsReported) {
  EXPECT_EQ(orv::devMgmt::wait_for_sync(0), -1);
  EXPECT_EQ(orverrno.code(), 3);
  EXPECT_EQ(orverrno.message(), "not running");

  store_.Set("/devices/d1/macs/m1", "10.0.0.1");
  ASSERT_EQ(orv::devMgmt::set_on_key_change("^/devices/", OnKey), 0);
  ASSERT_EQ(orv::devMgmt::init(), 0);
  ASSERT_EQ(orv::devMgmt::wait_for_sync(5000), 0);
  store_.Set("/devices/d1/traffic_blocked", "1");
  EXPECT_TRUE(Eventually([] { return !g_keys.empty(); }));
  EXPECT_EQ(g_keys, (Ids{"/devices/d1/traffic_blocked"}));
}

TEST_F(SyncHealthTest, ReloadReportsExactlyTheVanishedIdsAndStatusMoves) {
  store_.Set("/devices/d1/macs/m1", "10.0.0.1");
  store_.Set("/devices/d2/macs/m2", "10.0.0.2");
  store_.Set("/devices/d3/macs/m3", "10.0.0.3");
  orv::devMgmt::set_on_cache_reloaded(OnReloaded);
  ASSERT_EQ(orv::devMgmt::init(), 0);
  ASSERT_EQ(orv::devMgmt::wait_for_sync(5000), 0);
  orv::devMgmt::SyncStatus status;
  ASSERT_EQ(orv::devMgmt::get_sync_status(status), 0);
  EXPECT_TRUE(status.running);
  EXPECT_TRUE(status.watching);
  EXPECT_EQ(status.loads, 2u);  // init()'s and the thread's
  EXPECT_EQ(status.last_load_devices, 3);
  EXPECT_EQ(status.descriptors_lost, 0u);
  EXPECT_EQ(status.last_store_error, "");
  EXPECT_TRUE(Eventually([] { return g_reloads.size() == 1; }));
  EXPECT_EQ(g_reloads[0], Ids{});

  store_.Set("/devices/d1/display_name", "one");
  EXPECT_TRUE(Eventually([] {
    orv::devMgmt::SyncStatus now;
    orv::devMgmt::get_sync_status(now);
    return now.changes_applied == 1 && now.last_change_ms > 0;
  }));

  // /devices goes and comes back with d2 alone: the reload names d1 and d3.
  store_.Delete("/devices");
  store_.Set("/devices/d2/macs/m2", "10.0.0.2");
  EXPECT_TRUE(Eventually([] { return g_reloads.size() == 2; }));
  EXPECT_EQ(g_reloads.back(), (Ids{"d1", "d3"}));
  ASSERT_EQ(orv::devMgmt::wait_for_sync(5000), 0);
  orv::devMgmt::get_sync_status(status);
  EXPECT_EQ(status.descriptors_lost, 1u);
  EXPECT_EQ(status.last_load_devices, 1);
}

TEST_F(SyncHealthTest, MissingRootIsNamedInTheStatus) {
  const std::string missing = store_.root() + "/nonexistent";
  orv::setMgmt::set_root(missing);
  ASSERT_EQ(orv::devMgmt::init(), 0);
  EXPECT_EQ(orv::devMgmt::wait_for_sync(100), -1);
  EXPECT_EQ(orverrno.code(), 110);
  EXPECT_EQ(orverrno.message(), "timed out");
  orv::devMgmt::SyncStatus status;
  EXPECT_TRUE(Eventually([&status] {
    orv::devMgmt::get_sync_status(status);
    return !status.last_store_error.empty();
  }));
  EXPECT_FALSE(status.watching);
  EXPECT_NE(status.last_store_error.find(missing), std::string::npos) << status.last_store_error;
  EXPECT_NE(status.last_store_error.find("No such file or directory"), std::string::npos)
      << status.last_store_error;
  orv::devMgmt::uninit();
  orv::devMgmt::get_sync_status(status);
  EXPECT_FALSE(status.running);
  orv::setMgmt::set_root(store_.root());
}

// A process with its standard descriptors closed: the descriptors the
// library and the store keep must not be taken for "no descriptor".
TEST_F(SyncHealthTest, SyncsWithStandardDescriptorsClosed) {
  store_.Set("/devices/d1/macs/m1", "10.0.0.1");
  EXPECT_EXIT(
      {
        close(0);
        close(1);
        if (orv::devMgmt::init() != 0) std::_Exit(2);
        std::_Exit(orv::devMgmt::wait_for_sync(3000) == 0 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
