// Tests of the traffic-blocked report: the JSON document built from the cache,
// its delivery to the one registered function, and the registration slot.

#include "traffic_status.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
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
using Texts = std::vector<std::string>;

constexpr char kD1Report[] = R"({"device_id":"d1","blocked":1,"macs":["m1","m2"],"ips":["i1",""]})";
constexpr char kNoDevice[] = "2 get_device_traffic_status: Device id absent no longer exists";

EventRecorder g_events;

// Dump returns the document's compact text, members in insertion order.
std::string Dump(const json_t* document) {
  const std::unique_ptr<char, void (*)(void*)> text(
      json_dumps(document, JSON_COMPACT | JSON_PRESERVE_ORDER), std::free);
  return text ? text.get() : "<unprintable>";
}

// The report functions own the document: they record it and release it.
void OnReport(json_t* document) {
  g_events.Add(Dump(document));
  json_decref(document);
}
void OnLatestReport(json_t* document) {
  g_events.Add("latest " + Dump(document));
  json_decref(document);
}
void OnKey(const std::string& key) { g_events.Add("key " + key); }

class TrafficStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // d1 has the bindings (m1, i1) and (m2, no IP); d2 has none.
    g_devices.new_mac_ip("d1", "m1", "i1");
    g_devices.new_mac_ip("d1", "m2", "");
    g_devices.update_blocked("d1", 1);
    g_devices.update_blocked("d2", 1);
  }
  void TearDown() override {
    EXPECT_EQ(orv::devMgmt::uninit(), 0);
    EXPECT_EQ(orv::devMgmt::unset_on_traffic_blocked_change(nullptr), 0);
    orv::devMgmt::unset_on_key_change("traffic_blocked$", OnKey);
    g_devices.clear();
    g_events.Clear();
  }

  TempStore store_;
  LogCapture log_{3};
};

TEST_F(TrafficStatusTest, DocumentOfACachedDevice) {
  json_t* document = g_devices.get_device_traffic_status("d1");
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(Dump(document), kD1Report);
  EXPECT_EQ(document->refcount, 1u);
  json_decref(document);
  // Without a binding there is nothing to report, and nothing is logged.
  log_.Clear();
  EXPECT_EQ(g_devices.get_device_traffic_status("d2"), nullptr);
  EXPECT_EQ(g_devices.get_device_traffic_status("absent"), nullptr);
  EXPECT_EQ(log_.Messages(), Texts{kNoDevice});
}

TEST_F(TrafficStatusTest, KeyChangesDeliverTheDocument) {
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);
  // A longer key that the expression matches in part names d1 as well.
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d1/traffic_blocked_x"));
  EXPECT_EQ(g_events.Texts(), Texts{kD1Report});
  EXPECT_TRUE(
      log_.Contains(3, "[traffic_blocked_change()]: Getting traffic_blocked status for device d1"));
  // The id is the piece right after /devices, whatever follows.
  orv::devmgmt_internal::traffic_blocked_change("/devices/d1");
  orv::devmgmt_internal::traffic_blocked_change("/devices//traffic_blocked");
  EXPECT_EQ(g_events.Texts(), (Texts{kD1Report, kD1Report}));
  EXPECT_TRUE(log_.Contains(2, "[get_device_traffic_status()]: Device id  no longer exists"));

  // A second registration replaces the function and subscribes once more:
  // one document per registration, each to the latest function.
  g_events.Clear();
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnLatestReport), 0);
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  const std::string latest = std::string("latest ") + kD1Report;
  EXPECT_EQ(g_events.Texts(), (Texts{latest, latest}));
  // The function given to unset plays no part; one unset ends both.
  g_events.Clear();
  EXPECT_EQ(orv::devMgmt::unset_on_traffic_blocked_change(OnReport), 0);
  EXPECT_EQ(g_traffic_blocked_callback.load(), nullptr);
  EXPECT_FALSE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  // A null function is refused and subscribes nothing.
  EXPECT_EQ(orv::devMgmt::set_on_traffic_blocked_change(nullptr), -1);
  EXPECT_EQ(orverrno.code(), 22);
  EXPECT_EQ(orverrno.message(), "null callback");
  EXPECT_FALSE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  EXPECT_EQ(g_events.Texts(), Texts{});
}

TEST_F(TrafficStatusTest, StoreChangeReportedOnTheSyncThread) {
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d1/macs/m2", "");
  store_.Set("/devices/d1/traffic_blocked", "0");
  // d2 exists beforehand: a value written into a node that is new to the
  // watch may be reported twice.
  store_.Set("/devices/d2/traffic_blocked", "0");
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);
  // Subscribed after the report, so called after it for the same key.
  ASSERT_EQ(orv::devMgmt::set_on_key_change("traffic_blocked$", OnKey), 0);
  ASSERT_EQ(orv::devMgmt::init(), 0);
  // The thread's own load (the second) starts once it watches the store.
  ASSERT_TRUE(WaitUntil([&] {
    const Texts logged = log_.Messages();
    return std::count(logged.begin(), logged.end(), "3 load: Loading devices from storage") == 2;
  }));

  // The document shows the cache after the change (blocked 1), on the thread.
  store_.Set("/devices/d1/traffic_blocked", "1");
  ASSERT_TRUE(g_events.WaitForText("key /devices/d1/traffic_blocked"));
  EXPECT_EQ(g_events.Texts(), (Texts{kD1Report, "key /devices/d1/traffic_blocked"}));
  EXPECT_NE(g_events.Get()[0].thread, std::this_thread::get_id());
  // A device without bindings: nobody gets a document.
  g_events.Clear();
  store_.Set("/devices/d2/traffic_blocked", "1");
  ASSERT_TRUE(g_events.WaitForText("key /devices/d2/traffic_blocked"));
  EXPECT_EQ(g_events.Texts(), Texts{"key /devices/d2/traffic_blocked"});
}

}  // namespace
