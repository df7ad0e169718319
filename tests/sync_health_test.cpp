// Knowing the cache is live: wait_for_sync and the sync status, against a
// real store (the reload report is in sync_test).

#include <unistd.h>

#include "orv/settings.h"
#include "support/library.h"

namespace {

namespace api = orv::devMgmt;

class SyncHealthTest : public LibraryTest {
 protected:
  api::SyncStatus Status() {
    api::SyncStatus status;
    EXPECT_EQ(api::get_sync_status(status), 0);
    return status;
  }
};

TEST_F(SyncHealthTest, AChangeRightAfterWaitForSyncIsReported) {
  EXPECT_EQ(Result(api::wait_for_sync(0)), "-1 107 not running");
  Set("/devices/d1/macs/m1", "10.0.0.1");
  ASSERT_EQ(api::set_on_key_change("^/devices/", OnKey<0>), 0);
  ASSERT_EQ(api::init(), 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(api::wait_for_sync(60000), 0);  // returns as soon as the thread is in step
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  Set("/devices/d1/traffic_blocked", "1");
  EXPECT_TRUE(Calls::WaitFor("key0 /devices/d1/traffic_blocked"));
}

TEST_F(SyncHealthTest, StatusFiguresMove) {
  for (const char* id : {"d1", "d2", "d3"}) Set("/devices/" + std::string(id) + "/macs/m", "ip");
  ASSERT_EQ(api::init(), 0);
  ASSERT_EQ(api::wait_for_sync(5000), 0);
  api::SyncStatus status = Status();
  EXPECT_TRUE(status.running && status.watching);
  EXPECT_EQ(status.loads, 2u);  // init()'s and the thread's
  EXPECT_EQ(status.last_load_devices, 3);
  EXPECT_EQ(status.last_store_error, "");
  Set("/devices/d1/display_name", "one");
  for (int i = 0; i < 500 && Status().changes_applied == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Status().changes_applied, 1u);
  EXPECT_GT(Status().last_change_ms, 0);
}

TEST_F(SyncHealthTest, AMissingRootIsNamedInTheStatus) {
  const std::string missing = store_.root() + "/nonexistent";
  orv::setMgmt::set_root(missing);
  ASSERT_EQ(api::init(), 0);
  EXPECT_EQ(Result(api::wait_for_sync(100)), "-1 110 timed out");
  api::SyncStatus status = Status();
  for (int i = 0; i < 500 && status.last_store_error.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    status = Status();
  }
  EXPECT_FALSE(status.watching);
  EXPECT_EQ(status.last_store_error,
            "cannot watch " + missing + "/devices: No such file or directory");
  api::uninit();
  EXPECT_FALSE(Status().running);
  orv::setMgmt::set_root(store_.root());
}

// A process with its standard descriptors closed: the descriptors the
// library and the store keep must not be taken for "no descriptor".
TEST_F(SyncHealthTest, SyncsWithStandardDescriptorsClosed) {
  Set("/devices/d1/macs/m1", "10.0.0.1");
  EXPECT_EXIT(
      {
        close(0);
        close(1);
        if (api::init() != 0) std::_Exit(2);
        std::_Exit(api::wait_for_sync(3000) == 0 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
