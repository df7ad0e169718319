// Tests of the traffic-blocked report: the JSON document built from the cache,
// its delivery to the one registered function, and the registration slot.

#include "traffic_status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <jansson.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/event_recorder.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

using orv::devmgmt_internal::g_traffic_blocked_callback;
using orv::devmgmt_internal::traffic_blocked_change;
using ::testing::Contains;
using ::testing::ElementsAre;

constexpr char kD1Report[] = R"({"device_id":"d1","blocked":1,"macs":["m1","m2"],"ips":["i1",""]})";
constexpr char kSyncKey[] = "/sync[0-9]+$";

EventRecorder& Events() {
  static EventRecorder events;
  return events;
}

// Dump returns the document's compact text, members in insertion order.
std::string Dump(const json_t* document) {
  char* text = json_dumps(document, JSON_COMPACT | JSON_PRESERVE_ORDER);
  std::string result = text != nullptr ? text : "<unprintable>";
  std::free(text);
  return result;
}

// The report functions own the document: they record it and release it.
void OnReport(json_t* document) {
  Events().Add(Dump(document));
  json_decref(document);
}

void OnLatestReport(json_t* document) {
  Events().Add("latest " + Dump(document));
  json_decref(document);
}

void OnDevInfo(orv::DevInfoChangeType type, const std::string& device_id,
               const std::string& field_name) {
  Events().Add((type == orv::NEW_DEV ? "new " : "updated ") + device_id + " " + field_name);
}

void OnKey(const std::string& key) { Events().Add("key " + key); }

class TrafficStatusTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(orv::devMgmt::uninit(), 0);
    EXPECT_EQ(orv::devMgmt::unset_on_traffic_blocked_change(nullptr), 0);
    orv::devMgmt::unset_on_dev_info_change({"traffic_blocked"}, OnDevInfo);
    orv::devMgmt::unset_on_key_change(kSyncKey, OnKey);
    g_devices.clear();
    Events().Clear();
  }

  // FillD1 caches d1 with the bindings (m1, i1) and (m2, no IP), blocked.
  static void FillD1() {
    g_devices.new_mac_ip("d1", "m1", "i1");
    g_devices.new_mac_ip("d1", "m2", "");
    g_devices.update_blocked("d1", 1);
  }

  // Sync writes a new key that the sync thread reports to OnKey alone, and
  // waits for it: every change written before has been handled by then.
  void Sync() {
    const std::string key = "/devices/d1/sync" + std::to_string(++syncs_);
    store_.Set(key, "");
    ASSERT_TRUE(Events().WaitForText("key " + key));
  }

  bool HasLog(const std::string& message) const {
    const std::vector<std::string> messages = log_.Messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  }

  int syncs_ = 0;
  TempStore store_;
  LogCapture log_{3};
};

TEST_F(TrafficStatusTest, DocumentOfACachedDevice) {
  FillD1();
  json_t* document = g_devices.get_device_traffic_status("d1");
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(Dump(document), kD1Report);
  EXPECT_EQ(document->refcount, 1u);
  json_decref(document);

  // Without a binding there is nothing to report, and nothing is logged.
  g_devices.update_blocked("d2", 1);
  log_.Clear();
  EXPECT_EQ(g_devices.get_device_traffic_status("d2"), nullptr);
  EXPECT_THAT(log_.Messages(), ElementsAre());

  EXPECT_EQ(g_devices.get_device_traffic_status("absent"), nullptr);
  EXPECT_THAT(log_.Messages(),
              ElementsAre("2 get_device_traffic_status: Device id absent no longer exists"));
}

TEST_F(TrafficStatusTest, KeyChangesDeliverTheDocument) {
  FillD1();
  g_devices.update_blocked("d2", 1);
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);

  // A longer key that the expression matches in part names d1 as well.
  log_.Clear();
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d1/traffic_blocked_x"));
  EXPECT_THAT(Events().Texts(), ElementsAre(kD1Report));
  EXPECT_THAT(log_.Messages(),
              Contains("3 traffic_blocked_change: Getting traffic_blocked status for device d1"));

  // The id is the piece right after /devices, whatever follows.
  Events().Clear();
  traffic_blocked_change("/devices/d1");
  EXPECT_THAT(Events().Texts(), ElementsAre(kD1Report));

  Events().Clear();
  log_.Clear();
  traffic_blocked_change("/devices/d2/traffic_blocked");
  traffic_blocked_change("/devices//traffic_blocked");
  traffic_blocked_change("/devices/absent/traffic_blocked");
  EXPECT_THAT(Events().Texts(), ElementsAre());
  EXPECT_TRUE(HasLog("2 get_device_traffic_status: Device id  no longer exists"));
  EXPECT_TRUE(HasLog("2 get_device_traffic_status: Device id absent no longer exists"));
  EXPECT_FALSE(HasLog("2 get_device_traffic_status: Device id d2 no longer exists"));
}

TEST_F(TrafficStatusTest, RegistrationSlot) {
  FillD1();
  orverrno.set(0, "");
  EXPECT_EQ(orv::devMgmt::set_on_traffic_blocked_change(nullptr), -1);
  EXPECT_EQ(orverrno.code(), 22);
  EXPECT_EQ(orverrno.message(), "null callback");
  EXPECT_EQ(g_traffic_blocked_callback.load(), nullptr);
  EXPECT_TRUE(g_monitored_keys.key_spies.empty());
  EXPECT_FALSE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));

  // A second registration replaces the function and subscribes once more:
  // one document per registration, each to the latest function.
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);
  EXPECT_EQ(g_traffic_blocked_callback.load(), &OnReport);
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnLatestReport), 0);
  EXPECT_EQ(g_traffic_blocked_callback.load(), &OnLatestReport);
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  const std::string latest = std::string("latest ") + kD1Report;
  EXPECT_THAT(Events().Texts(), ElementsAre(latest, latest));

  // The function given to unset plays no part; one unset ends both.
  Events().Clear();
  EXPECT_EQ(orv::devMgmt::unset_on_traffic_blocked_change(OnReport), 0);
  EXPECT_EQ(g_traffic_blocked_callback.load(), nullptr);
  EXPECT_TRUE(g_monitored_keys.key_spies.empty());
  EXPECT_FALSE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  EXPECT_THAT(Events().Texts(), ElementsAre());
}

TEST_F(TrafficStatusTest, StoreChangeReportedOnTheSyncThread) {
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d1/macs/m2", "");
  store_.Set("/devices/d1/traffic_blocked", "0");
  store_.Set("/devices/d2/traffic_blocked", "0");
  orv::devMgmt::set_on_dev_info_change({"traffic_blocked"}, OnDevInfo);
  ASSERT_EQ(orv::devMgmt::set_on_key_change(kSyncKey, OnKey), 0);
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);
  ASSERT_EQ(orv::devMgmt::init(), 0);
  // Announced by init's load, then by the thread's: it watches the store now.
  ASSERT_TRUE(Events().WaitForText("new d2 ", 2));
  Events().Clear();

  // The cache takes the change before the document is built from it.
  store_.Set("/devices/d1/traffic_blocked", "1");
  ASSERT_TRUE(Events().WaitForText(kD1Report));
  EXPECT_THAT(Events().Texts(), ElementsAre("updated d1 traffic_blocked", kD1Report));
  EXPECT_NE(Events().Get().back().thread, std::this_thread::get_id());

  // A device without bindings: the cache changes, nobody gets a document.
  Events().Clear();
  store_.Set("/devices/d2/traffic_blocked", "1");
  Sync();
  EXPECT_THAT(Events().Texts(), ElementsAre("updated d2 traffic_blocked", "key /devices/d1/sync1"));

  // Unsubscribed: the change still reaches the cache, no document.
  ASSERT_EQ(orv::devMgmt::unset_on_traffic_blocked_change(OnReport), 0);
  Events().Clear();
  store_.Set("/devices/d1/traffic_blocked", "0");
  Sync();
  EXPECT_THAT(Events().Texts(), ElementsAre("updated d1 traffic_blocked", "key /devices/d1/sync2"));
  orv::devMgmt::Device device;
  ASSERT_TRUE(orv::devMgmt::get_device("d1", device));
  EXPECT_EQ(device.blocked, 0);
}

}  // namespace
