// The device cache as a client and the dispatcher use it: queries, MAC/IP
// binding changes, field updates, the device-info and key subscriptions and
// the traffic-blocked document, with their exact log lines.

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

Texts New(const std::string& id, int callbacks) {
  return {"2 notify_new_dev: New device: device id=" + id,
          "2 notify_new_dev: Called " + std::to_string(callbacks) + " callbacks"};
}
std::string Told(const std::string& id, const std::string& field) {
  return "4 notify_dev_info_updated: Device info updated: device id=" + id + " field_name=" + field;
}
class CacheTest : public LibraryTest {
 protected:
  // Step runs `change` and returns its log lines and calls, one per line.
  Texts Step(const std::function<void()>& change) {
    log_.Clear();
    Calls::Take();
    change();
    return Cat(log_.Messages(), Calls::Take());
  }
};

TEST_F(CacheTest, QueriesCopyOutOnSuccessAndRecordNotFoundOnFailure) {
  g_devices.new_mac_ip("d1", "m1", "ip1");
  g_devices.new_mac_ip("d1", "m2", "");
  g_devices.new_mac_ip("d1", "m1", "again");
  g_devices.update_onvelk("d1", 1);
  g_devices.update_onguest("d1", 7);
  g_devices.new_mac_ip("d2", "m9", "shared");
  g_devices.new_mac_ip("d3", "m9", "shared");  // the index names d3; d2 keeps its pair
  orverrno.set(99, "sentinel");
  api::Device out;
  out.device_id = "mine";
  std::string id = "mine", ip = "mine";
  Texts macs = {"a"};
  std::vector<api::Device> all(1);
  log_.Clear();
  EXPECT_EQ(Result(api::device_exists("D1")), "0 99 sentinel");
  EXPECT_EQ(Result(api::get_device("dx", out)), "0 4 not found");
  EXPECT_EQ(Result(api::get_device_onvelk("dx")), "-1 4 not found");
  EXPECT_EQ(Result(api::get_device_onguest("dx")), "-1 4 not found");
  EXPECT_EQ(Result(api::get_device_macs("dx", macs)), "0 4 not found");
  EXPECT_EQ(Result(api::get_device_id_by_mac("M1", id)), "-1 5 not found");
  EXPECT_EQ(Result(api::get_device_id_by_ip("ip", id)), "-1 5 not found");
  EXPECT_EQ(Result(api::get_device_ip("d1", "m3", ip)), "-1 5 not found");
  EXPECT_EQ(out.device_id + id + ip + std::to_string(macs.size()), "mineminemine1");
  EXPECT_TRUE(log_.Lines().empty());

  EXPECT_EQ(Result(api::device_exists("d1")), "1 99 sentinel");
  EXPECT_EQ(Result(api::get_device("d1", out)), "1 99 sentinel");
  EXPECT_EQ(Result(api::get_device_onvelk("d1")), "1 99 sentinel");
  EXPECT_EQ(Result(api::get_device_onguest("d1")), "7 99 sentinel");
  EXPECT_EQ(Result(api::get_device_macs("d1", macs)), "3 99 sentinel");
  EXPECT_EQ(Result(api::get_devices(all)), "4 99 sentinel");
  EXPECT_EQ(Describe(out),
            "d1 p= [m1=again,m2=] name= type= os=/ model= by= velk= blocked=0 "
            "onvelk=1 onguest=7 scan=0");
  EXPECT_EQ(macs, (Texts{"a", "m1", "m2"}));
  EXPECT_EQ(Result(api::get_device_id_by_mac("m9", id)) + " " + id, "0 99 sentinel d3");
  EXPECT_EQ(Result(api::get_device_id_by_ip("", id)) + " " + id, "0 99 sentinel d1");
  EXPECT_EQ(Result(api::get_device_ip("d1", "m1", ip)) + " " + ip, "0 99 sentinel again");
  EXPECT_EQ(log_.Messages(), (Texts{"3 get_device_id_by_mac: mac=m9, device_id=d3",
                                    "3 get_device_id_by_ip: ip=, device_id=d1",
                                    "3 get_device_ip: mac=m1, device_id=d1, ip=again"}));
  EXPECT_EQ(log_.Lines()[0].text.rfind("[orvdevmgmt:", 0), 0u);
  EXPECT_NE(log_.Lines()[0].text.find("][get_device_id_by_mac()]: mac=m9"), std::string::npos);
  api::get_device("dx", out);  // a failure stays recorded through later successes
  EXPECT_EQ(Result(api::get_device_id_by_ip("shared", id)), "0 4 not found");
}

TEST_F(CacheTest, BindingChangesKeepListsAndIndexInStepAndLogEachStep) {
  api::set_on_dev_info_change({"macs"}, OnInfo<0>);
  // The lists of d1 and d2, and whom the index names for m1, m2, m3.
  const auto state = [] {
    std::string out;
    for (const char* id : {"d1", "d2"}) {
      const std::string text = Cached(id);
      out += text == "absent"
                 ? "absent "
                 : text.substr(text.find('['), text.find(']') - text.find('[') + 1) + " ";
    }
    return out + Owner("m1") + Owner("m2") + Owner("m3");
  };
  const std::string first = "3 new_mac_ip: device_id=d1, mac=m1, ip=";
  EXPECT_EQ(
      Step([] { g_devices.new_mac_ip("d1", "m1", "i1"); }),
      Cat(Cat({first + "i1"}, New("d1", 1)), {"3 new_mac_ip: New device_id=d1 with <mac=m1, ip=i1>",
                                              Told("d1", "macs"), "0 new d1", "0 upd d1 macs"}));
  EXPECT_EQ(Step([] { g_devices.new_mac_ip("d1", "m2", "i2"); })[1],
            "3 new_mac_ip: New <mac=m2, ip=i2> pair for device_id=d1");
  EXPECT_EQ(Step([] { g_devices.new_mac_ip("d1", "m1", "i1"); }),
            (Texts{first + "i1", "3 new_mac_ip: Same info"}));
  EXPECT_EQ(Step([] { g_devices.new_mac_ip("d1", "m1", "i9"); }),
            (Texts{first + "i9", "3 new_mac_ip: ip changed from i1 to i9 for mac=m1, device_id=d1",
                   Told("d1", "macs"), "0 upd d1 macs"}));
  EXPECT_EQ(state(), "[m1=i9,m2=i2] absent d1d1-");
  Step([] { g_devices.new_mac_ip("d2", "m1", "x"); });
  EXPECT_EQ(state(), "[m1=i9,m2=i2] [m1=x] d2d1-");  // d1 keeps the pair
  // remove_macs erases the index entry of each MAC, whatever device it names.
  EXPECT_EQ(Step([] { g_devices.remove_macs("d1"); }),
            (Texts{"3 remove_macs: Removing macs for device_id=d1", Told("d1", "macs"),
                   "0 upd d1 macs"}));
  EXPECT_EQ(state(), "[] [m1=x] ---");
  // A device's last MAC takes the record with it, told as a "macs" update.
  EXPECT_EQ(Step([] { g_devices.remove_mac("m1", "d2"); }),
            (Texts{"3 remove_mac: Removing mac m1 for device_id d2",
                   "0 remove_mac: BUG: mac m1 not found in local cache", Told("d2", "macs"),
                   "0 upd d2 macs"}));
  EXPECT_EQ(state(), "[] absent ---");
  EXPECT_EQ(Step([] { g_devices.remove_mac("m1", "dz"); }),
            (Texts{"3 remove_mac: Removing mac m1 for device_id dz",
                   "0 remove_mac: BUG: device_id dz not found in local cache"}));
  Step([] {
    g_devices.new_mac_ip("d2", "m3", "i3");
    g_devices.new_mac_ip("d2", "m2", "i2");
    g_devices.new_mac_ip("d1", "m3", "i3");
  });
  EXPECT_EQ(state(), "[m3=i3] [m3=i3,m2=i2] -d2d1");
  // remove_device_id: the record is gone when the subscribers hear of it.
  Calls::SetHook([](const std::string& call) {
    if (call == "0 del d2") Calls::Add("saw " + Cached("d2"));
  });
  EXPECT_EQ(Step([] { g_devices.remove_device_id("d2"); }),
            (Texts{"3 remove_device_id: Removing device_id d2", "3 remove_device_id: mac=m3, ip=i3",
                   "3 remove_device_id: mac=m2, ip=i2",
                   "2 notify_dev_info_removed: Device info removed: device_id=d2",
                   "2 notify_dev_info_removed: Called 1 callbacks", "0 del d2", "saw absent"}));
  EXPECT_EQ(state(), "[m3=i3] absent ---");
  EXPECT_EQ(Step([] { g_devices.remove_macs("d2"); }),
            Cat(Cat({"3 remove_macs: Removing macs for device_id=d2"}, New("d2", 1)),
                {Told("d2", "macs"), "0 new d2", "0 upd d2 macs"}));
  EXPECT_EQ(Step([] { g_devices.remove_mac("m3", "d2"); })[1],
            "0 remove_mac: BUG: mac m3 not found in local cache");
  EXPECT_EQ(state(), "[m3=i3] absent ---");  // a device without MACs goes on any remove_mac
}

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
    EXPECT_EQ(owner + " " + std::to_string(api::get_device_macs(id, macs)),
              id + " " + std::to_string(2 * size + 1));
  }
}

TEST_F(CacheTest, FieldUpdatesStoreTheValueAndNotifyEveryTime) {
  struct Update {
    void (Devices::*text)(const std::string&, const std::string&);
    void (Devices::*number)(const std::string&, int);
    std::string label, field, value, shown;
  };
  const Update updates[] = {
      {nullptr, &Devices::update_onvelk, "onvelk", "onvelk", "-1", " onvelk=-1 "},
      {nullptr, &Devices::update_onguest, "onguest", "onguest", "-1", " onguest=-1 "},
      {&Devices::update_profile_id, nullptr, "profile_id", "profile_id", "kids", " p=kids "},
      {nullptr, &Devices::update_blocked, "blocked", "traffic_blocked", "2", " blocked=2 "},
      {&Devices::update_display_name, nullptr, "display_name", "display_name", "TV", " name=TV "},
      {&Devices::update_type, nullptr, "type", "device_type", "tv", " type=tv "},
      {&Devices::update_os, nullptr, "os", "device_os", "ios", " os=ios/"},
      {&Devices::update_os_version, nullptr, "os_version", "device_os_version", "14", "/14 "},
      {&Devices::update_model, nullptr, "model", "device_model", "P8", " model=P8 "},
      {&Devices::update_manufacturer, nullptr, "manufacturer", "device_manufacturer", "G",
       " by=G "},
      {nullptr, &Devices::update_scan_level, "scan_level", "scan_level", "2147483647",
       " scan=2147483647 "},
      {&Devices::update_velk_device_id, nullptr, "velk_device_id", "velk_device_id", "v9",
       " velk=v9 "},
  };
  for (const Update& u : updates) api::set_on_dev_info_change({u.field}, OnInfo<0>);
  for (const Update& u : updates) {
    SCOPED_TRACE(u.label);
    const std::string id = "new-" + u.field;
    const auto apply = [&u, &id] {
      u.text ? (g_devices.*u.text)(id, u.value) : (g_devices.*u.number)(id, std::stoi(u.value));
    };
    const std::string line = "3 update_" + u.label + ": device_id=" + id + ", " + u.label + "=";
    EXPECT_EQ(Step(apply), Cat(Cat({line + u.value}, New(id, 1)),
                               {Told(id, u.field), "0 new " + id, "0 upd " + id + " " + u.field}));
    EXPECT_EQ(Step(apply),
              (Texts{line + u.value, Told(id, u.field), "0 upd " + id + " " + u.field}));
    std::string want = Describe(api::Device()) + " ";
    const std::string zero =
        std::string(u.shown).replace(u.shown.find(u.value), u.value.size(), u.text ? "" : "0");
    want.replace(want.find(zero), zero.size(), u.shown);
    EXPECT_EQ(Cached(id) + " ", id + want);
  }
}

TEST_F(CacheTest, DeviceInfoCallbacksFollowTheirFieldsInRegistrationOrder) {
  const DevInfoChangeCallback cb[] = {OnInfo<0>, OnInfo<1>, OnInfo<2>, OnInfo<3>};
  // New and removed devices go once to each distinct callback, by address.
  const auto by_address = [&cb](std::vector<int> ns, const std::string& rest) {
    std::sort(ns.begin(), ns.end(),
              [&cb](int a, int b) { return std::less<DevInfoChangeCallback>()(cb[a], cb[b]); });
    Texts out;
    for (int n : ns) out.push_back(std::to_string(n) + rest);
    return out;
  };
  api::set_on_dev_info_change({"display_name", "device_os"}, cb[0]);
  for (int n : {0, 2, 1}) api::set_on_dev_info_change({"display_name"}, cb[n]);
  api::set_on_dev_info_change({"display_name"}, nullptr);
  api::set_on_dev_info_change({}, cb[3]);
  g_devices.update_display_name("d1", "TV");
  EXPECT_EQ(Calls::Take(), Cat(by_address({0, 1, 2}, " new d1"),
                               {"0 upd d1 display_name", "0 upd d1 display_name",
                                "2 upd d1 display_name", "1 upd d1 display_name"}));
  log_.Clear();
  g_devices.remove_device_id("d1");
  EXPECT_EQ(Calls::Take(), by_address({0, 1, 2}, " del d1"));
  EXPECT_EQ(log_.Messages().back(), "2 notify_dev_info_removed: Called 3 callbacks");
  // Unset drops every registration of the callback, for the names given only.
  api::unset_on_dev_info_change({"nothing", "display_name"}, cb[0]);
  g_devices.update_display_name("d2", "x");
  g_devices.update_os("d2", "x");
  EXPECT_EQ(Calls::Take(),
            Cat(by_address({0, 1, 2}, " new d2"),
                {"2 upd d2 display_name", "1 upd d2 display_name", "0 upd d2 device_os"}));

  // A notification calls those registered when it began: the first callback
  // drops itself and one still ahead, and adds another.
  api::unset_on_dev_info_change({"device_os"}, cb[0]);
  bool changed = false;
  Calls::SetHook([&](const std::string& call) {
    if (call != "2 upd d3 display_name" || std::exchange(changed, true)) return;
    api::unset_on_dev_info_change({"display_name"}, cb[2]);
    api::unset_on_dev_info_change({"display_name"}, cb[1]);
    api::set_on_dev_info_change({"display_name"}, cb[3]);
  });
  g_devices.update_display_name("d3", "x");
  g_devices.update_display_name("d3", "y");
  EXPECT_EQ(Calls::Take(),
            Cat(by_address({1, 2}, " new d3"),
                {"2 upd d3 display_name", "1 upd d3 display_name", "3 upd d3 display_name"}));
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
    std::lock_guard<std::recursive_mutex> cache(g_devices.mutex);
    std::lock_guard<std::mutex> keys(g_monitored_keys.mutex);
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
