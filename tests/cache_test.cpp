// What the cache model (model_devices_test) doesn't express: an append that
// runs out of memory, calls waiting on the locks, the key subscriptions with
// their walks, and the traffic-blocked document.

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/library.h"

// Memory exhaustion where a test wants it: the next allocation, on this
// thread, of exactly t_fail_size bytes throws.
thread_local std::size_t t_fail_size = 0;

void* operator new(std::size_t size) {
  if (size != 0 && size == t_fail_size) {
    t_fail_size = 0;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // this operator new is malloc
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

namespace api = orv::devMgmt;

using CacheTest = LibraryTest;

// A binding whose append runs out of memory leaves the MAC index as it was:
// the index never names a device whose list lacks the MAC. What was there
// before stays, and the next try succeeds.
TEST_F(CacheTest, AnAppendThatRunsOutOfMemoryLeavesTheIndexAsItWas) {
  LogCapture quiet(-1);  // the log frame allocates nothing
  for (int size = 1; size <= 16; size *= 2) {
    const std::string id = "d" + std::to_string(size), mac = id + "-new";
    for (int i = 0; i < size; ++i) g_devices.new_mac_ip(id, id + "-" + std::to_string(i), "i");
    t_fail_size = 2 * size * sizeof(api::MacIp);  // the list is full: it doubles
    EXPECT_THROW(g_devices.new_mac_ip(id, mac, "i"), std::bad_alloc) << size;
    t_fail_size = 0;
    std::string owner, ip;
    Texts macs;
    EXPECT_EQ(api::get_device_id_by_mac(mac, owner), -1) << size;
    EXPECT_EQ(api::get_device_ip(id, mac, ip), -1) << size;
    EXPECT_EQ(api::get_device_macs(id, macs), size);
    g_devices.new_mac_ip(id, mac, "i");
    EXPECT_EQ(api::get_device_id_by_mac(mac, owner), 0);
    EXPECT_EQ(owner, id);
    EXPECT_EQ(api::get_device_macs(id, macs), 2 * size + 1);  // appended to what it held
  }
}

TEST_F(CacheTest, EveryCallWaitsWhileAnotherThreadHoldsTheCacheOrTheKeys) {
  api::Device device;
  std::vector<api::Device> all;
  Texts macs;
  std::string out;
  const std::function<void()> calls[] = {
      [&] { api::device_exists("d1"); },
      [&] { api::get_device("d1", device); },
      [&] { api::get_devices(all); },
      [&] { api::get_device_onvelk("d1"); },
      [&] { api::get_device_onguest("d1"); },
      [&] { api::get_device_macs("d1", macs); },
      [&] { api::get_device_id_by_mac("m1", out); },
      [&] { api::get_device_id_by_ip("i1", out); },
      [&] { api::get_device_ip("d1", "m1", out); },
      [] { json_decref(g_devices.get_device_traffic_status("d1")); },
      [] { api::set_on_dev_info_change({"x"}, OnInfo<1>); },
      [] { api::unset_on_dev_info_change({"macs"}, OnInfo<0>); },
      [] { g_devices.new_mac_ip("d2", "m2", "i2"); },
      [] { g_devices.remove_mac("m1", "d1"); },
      [] { g_devices.remove_macs("d3"); },
      [] { g_devices.remove_device_id("d4"); },
      [] { g_devices.update_display_name("d5", "x"); },
      [] { g_devices.load(); },
      [] { api::set_on_key_change("a", OnKey<0>); },
      [] { api::unset_on_key_change("b", OnKey<0>); },
      [] { g_monitored_keys.match_key("/a"); },
  };
  g_devices.new_mac_ip("d1", "m1", "i1");
  g_devices.new_mac_ip("d4", "m4", "i4");
  api::set_on_dev_info_change({"macs"}, OnInfo<0>);
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  {
    orv::devMgmt::MutexLock cache(g_devices.mutex);
    orv::devMgmt::MutexLock keys(g_monitored_keys.mutex);
    for (int i = 0; i < static_cast<int>(std::size(calls)); ++i) {
      threads.emplace_back([&, i] {
        calls[i]();
        done |= 1 << i;
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(done.load(), 0) << "bit i set: calls[i] did not wait";
  }
  for (std::thread& thread : threads) thread.join();
}

TEST_F(CacheTest, KeySubscriptionsShareOneEntryPerTextAndGoWithOneUnset) {
  const KeyChangeCallback callbacks[] = {OnKey<0>, OnKey<0>, OnKey<1>};
  for (KeyChangeCallback cb : callbacks) EXPECT_EQ(api::set_on_key_change("^/devices/", cb), 0);
  EXPECT_EQ(log_.Messages(), (Texts{"3 KeySpy: Monitoring key ^/devices/"}));
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d1"));
  EXPECT_EQ(Calls::Take(), (Texts{"key0 /devices/d1", "key0 /devices/d1", "key1 /devices/d1"}));
  EXPECT_EQ(api::unset_on_key_change("^/devices/", OnKey<0>), 0);  // both registrations
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d1"));
  EXPECT_EQ(Calls::Take(), (Texts{"key1 /devices/d1"}));
  log_.Clear();
  EXPECT_EQ(api::unset_on_key_change("^/devices/", OnKey<1>), 0);
  EXPECT_EQ(api::unset_on_key_change("^/devices/", OnKey<1>), 0);
  EXPECT_FALSE(g_monitored_keys.match_key("/devices/d1"));
  EXPECT_EQ(log_.Messages(), (Texts{"3 remove_key: Key regex ^/devices/ completely removed",
                                    "2 remove_key: Key ^/devices/ not monitored"}));
  // The same function twice under one text: one unset removes both and the entry.
  api::set_on_key_change("x", OnKey<0>);
  api::set_on_key_change("x", OnKey<0>);
  log_.Clear();
  EXPECT_EQ(api::unset_on_key_change("x", OnKey<0>), 0);
  EXPECT_EQ(log_.Messages(), (Texts{"3 remove_key: Key regex x completely removed"}));
  // Refusals change nothing.
  log_.Clear();
  EXPECT_EQ(Result(api::set_on_key_change("(/devices", OnKey<1>)), "-1 4 invalid key_regex");
  EXPECT_EQ(Result(api::set_on_key_change("y", nullptr)), "-1 22 null callback");
  EXPECT_EQ(log_.Messages(), (Texts{"0 add_key: Failed to monitor key (/devices"}));
}

// Changes drops its own registration under "a" and OnKey<1>'s under "b",
// and registers OnKey<2> under "c"; Throws throws.
void Changes(const std::string& key) {
  Calls::Add("changes " + key);
  api::unset_on_key_change("a", Changes);
  api::unset_on_key_change("b", OnKey<1>);
  api::set_on_key_change("c", OnKey<2>);
}
void Throws(const std::string& key) {
  Calls::Add("throws " + key);
  throw std::runtime_error("subscriber failed");
}

TEST_F(CacheTest, KeyMatchingSearchesEachEntryInCreationOrder) {
  for (const char* regex : {"display_name", "macs", "^/devices/d1", "(display_name)"}) {
    api::set_on_key_change(regex, regex[0] == 'm' ? OnKey<1> : OnKey<0>);
  }
  log_.Clear();
  const std::string key = "/devices/d1/display_name";
  EXPECT_TRUE(g_monitored_keys.match_key(key));
  Texts lines;
  for (const std::string regex : {"display_name", "macs", "^/devices/d1", "(display_name)"}) {
    lines.push_back("3 match_key: Checking key " + key + " against regex " + regex);
    if (regex != "macs") lines.push_back("3 match_key: Key " + key + " matches " + regex);
  }
  EXPECT_EQ(log_.Messages(), lines);
  EXPECT_EQ(Calls::Take(), Texts(3, "key0 " + key));
  for (const char* regex : {"display_name", "macs", "^/devices/d1", "(display_name)"}) {
    api::unset_on_key_change(regex, regex[0] == 'm' ? OnKey<1> : OnKey<0>);
  }
  // Search unless anchored, extended syntax, no REG_NEWLINE: '+' keys match.
  const std::pair<const char*, Texts> cases[] = {
      {"/devices/.*/traffic_blocked",
       {"+/devices/d1/traffic_blocked", "+/x/devices/d1/traffic_blocked_old",
        "-/devices/traffic_blocked", "-/devices/d1/Traffic_Blocked"}},
      {"^/devices/[^/]+/traffic_blocked$",
       {"+/devices/d1/traffic_blocked", "-/devices/d1/traffic_blocked/x"}},
      {"^/devices/d.$", {"+/devices/d\n", "-x\n/devices/d1"}}};
  for (const auto& c : cases) {
    api::set_on_key_change(c.first, OnKey<3>);
    for (const std::string& k : c.second) {
      EXPECT_EQ(g_monitored_keys.match_key(k.substr(1)), k[0] == '+') << c.first << " on " << k;
    }
    api::unset_on_key_change(c.first, OnKey<3>);
  }
  Calls::Take();
  // A walk calls the functions registered when it began; a throw ends it.
  api::set_on_key_change("a", Changes);
  api::set_on_key_change("a", OnKey<0>);
  api::set_on_key_change("b", OnKey<1>);
  EXPECT_TRUE(g_monitored_keys.match_key("/abc"));
  EXPECT_TRUE(g_monitored_keys.match_key("/abc"));
  api::set_on_key_change("a", Throws);
  EXPECT_THROW(g_monitored_keys.match_key("/abc"), std::runtime_error);
  EXPECT_EQ(Calls::Take(), (Texts{"changes /abc", "key0 /abc", "key1 /abc", "key0 /abc",
                                  "key2 /abc", "key0 /abc", "throws /abc"}));
}

TEST_F(CacheTest, TrafficReportsGoToTheLatestFunctionUntilUnset) {
  g_devices.new_mac_ip("d1", "m1", "i1");
  g_devices.new_mac_ip("d1", "m2", "");
  g_devices.new_mac_ip("d1", "m\xff", "i3");  // not UTF-8: left out, its partner stays
  g_devices.new_mac_ip("d1", "m4", "i\xfe");
  g_devices.update_blocked("d1", 1);
  g_devices.update_blocked("d2", 1);
  const std::string report =
      R"({"device_id":"d1","blocked":1,"macs":["m1","m2","m4"],"ips":["i1","","i3"]})";
  json_t* document = g_devices.get_device_traffic_status("d1");
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(Dump(document) + std::to_string(document->refcount), report + "1");
  json_decref(document);
  log_.Clear();
  EXPECT_EQ(g_devices.get_device_traffic_status("d2"), nullptr);  // no binding
  EXPECT_EQ(g_devices.get_device_traffic_status("absent"), nullptr);
  EXPECT_EQ(log_.Messages(),
            (Texts{"2 get_device_traffic_status: Device id absent no longer exists"}));

  EXPECT_EQ(Result(api::set_on_traffic_blocked_change(nullptr)), "-1 22 null callback");
  EXPECT_FALSE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  ASSERT_EQ(api::set_on_traffic_blocked_change(OnReport), 0);
  log_.Clear();
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d2/traffic_blocked"));
  EXPECT_EQ(Calls::Take(), Texts{"report " + report});
  EXPECT_TRUE(log_.Contains(3, "Getting traffic_blocked status for device d1"));
  EXPECT_TRUE(log_.Contains(3, "Traffic blocked status: " + report));
  // Registering again replaces the function and subscribes once more; one
  // unset, whatever function it names, ends both.
  ASSERT_EQ(api::set_on_traffic_blocked_change(
                [](json_t* d) { OnReport(json_pack("{s:o}", "latest", d)); }),
            0);
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  EXPECT_EQ(Calls::Take(), Texts(2, "report {\"latest\":" + report + "}"));
  EXPECT_EQ(api::unset_on_traffic_blocked_change(OnReport), 0);
  EXPECT_FALSE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  // A function that unsubscribes itself gets its document and no other.
  ASSERT_EQ(api::set_on_traffic_blocked_change([](json_t* d) {
              OnReport(d);
              api::unset_on_traffic_blocked_change(nullptr);
            }),
            0);
  g_monitored_keys.match_key("/devices/d1/traffic_blocked");
  EXPECT_FALSE(g_monitored_keys.match_key("/devices/d1/traffic_blocked"));
  EXPECT_EQ(Calls::Take(), Texts{"report " + report});
}

}  // namespace
