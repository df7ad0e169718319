// What a running library survives: subscribers that throw, and keys and values with odd bytes (line
// ends, control bytes, % conversions, invalid UTF-8, 64 KiB texts, / and NUL in a MAC). The sync
// thread lives on, the cache ends equal to the store, and every log line stays one line
// (LibraryTest checks it).

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orv/path.h"
#include "support/library.h"

namespace {

namespace api = orv::devMgmt;
using std::chrono::seconds;

using FaultsTest = LibraryTest;

TEST_F(FaultsTest, ThrowingSubscribersDoNotStopTheSyncThread) {
  for (const std::string id : {"a1", "boom0", "boom1", "kboom"}) {
    Set("/devices/" + id + "/macs/m" + id, "10.0.0.1");
  }
  api::set_on_dev_info_change({"display_name"}, OnInfo<0>);
  ASSERT_EQ(api::set_on_key_change("^/devices/", OnKey<0>), 0);
  ASSERT_EQ(api::set_on_key_change("display_name$", OnKey<1>), 0);
  ASSERT_EQ(api::set_on_traffic_blocked_change(OnReport), 0);
  api::set_on_cache_reloaded([](const Texts&) { throw std::runtime_error("reloaded"); });
  // As the gateway's own store may, this one lets subscribers' exceptions
  // through: the library alone keeps the thread alive.
  setenv("ORV_SETTINGS_UNGUARDED_CALLBACKS", "1", 1);
  static std::atomic<bool> throw_in_load{true};
  const std::thread::id test_thread = std::this_thread::get_id();
  Calls::SetHook([test_thread](const std::string& call) {
    if (call == "0 new boom0" && throw_in_load && std::this_thread::get_id() != test_thread) {
      throw std::runtime_error("boom in load");
    }
    if (call == "0 upd boom1 display_name") throw std::runtime_error("boom in change");
    if (call == "key0 /devices/kboom/display_name") throw std::runtime_error("kboom");
    if (call.find("\"blocked\":1") != std::string::npos) throw std::runtime_error("report");
  });
  // The sync thread's load throws: it lives on, takes changes, and loads
  // again on its next pass.
  ASSERT_EQ(api::init(), 0);
  ASSERT_TRUE(Logged("0 sync_thread_function: BUG: loading devices failed: boom in load"));
  Set("/devices/a1/display_name", "A");
  ASSERT_TRUE(Calls::WaitFor("key1 /devices/a1/display_name"));
  throw_in_load = false;
  Set("/devices/a1/display_name", "B");
  ASSERT_TRUE(Calls::WaitFor("key1 /devices/a1/display_name", 2));
  EXPECT_EQ(CacheDiffToStore(seconds(5)), "");
  EXPECT_TRUE(Logged("0 sync_thread_function: BUG: the cache-reloaded callback failed: reloaded"));

  // Each kind of subscriber throws in turn: the change is in the cache, the
  // later subscribers of that change are skipped, the next change reaches all.
  Calls::Take();
  Set("/devices/boom1/display_name", "X");
  Set("/devices/kboom/display_name", "K");
  Set("/devices/a1/traffic_blocked", "1");
  Set("/devices/a1/display_name", "C");
  ASSERT_TRUE(Calls::WaitFor("key1 /devices/a1/display_name"));
  const std::string report =
      R"(report {"device_id":"a1","blocked":1,"macs":["ma1"],"ips":["10.0.0.1"]})";
  EXPECT_EQ(Calls::Take(),
            (Texts{"0 upd boom1 display_name", "0 upd kboom display_name",
                   "key0 /devices/kboom/display_name", "key0 /devices/a1/traffic_blocked", report,
                   "0 upd a1 display_name", "key0 /devices/a1/display_name",
                   "key1 /devices/a1/display_name"}));
  for (const std::string threw : {"/devices/boom1/display_name failed: boom in change",
                                  "/devices/kboom/display_name failed: kboom",
                                  "/devices/a1/traffic_blocked failed: report"}) {
    EXPECT_EQ(Count("0 sync_thread_function: BUG: applying " + threw), 1) << threw;
  }
  EXPECT_EQ(CacheDiffToStore(seconds(5)), "");
  unsetenv("ORV_SETTINGS_UNGUARDED_CALLBACKS");
}

// Big is a 64 KiB text with a line end every 1000 bytes.
std::string Big(char fill) {
  std::string text(64 * 1024, fill);
  for (std::size_t at = 999; at < text.size(); at += 1000) text[at] = '\n';
  return text;
}

// MacKey is the key of a device's binding, the MAC escaped as one name.
std::string MacKey(const std::string& device_id, const std::string& mac) {
  orv::path key;
  key.add_piece(true, "/devices").add_piece(true, device_id).add_piece(true, "macs");
  return key.add_piece(false, mac).str();
}

TEST_F(FaultsTest, OddBytesReachTheCacheAsStoredAndLogAsOneLine) {
  const std::string newline = "d\n1", percent = "d%s%n%d";
  Set("/devices/" + newline + "/display_name", "two\nlines");
  Set(MacKey(newline, "m\n1"), "10.0.0.1\n");
  Set("/devices/" + percent + "/display_name", "100% %s %d %n %%");
  Set("/devices/d\xff\xfe/display_name", "\xc3\x28");
  Set("/devices/big/display_name", Big('a'));
  Set(MacKey("slash", "aa/bb"), "10.0.0.5");
  api::set_on_dev_info_change({"display_name", "device_os", "macs"}, OnInfo<0>);
  ASSERT_EQ(api::set_on_key_change("^/devices/", OnKey<0>), 0);
  Calls::SetHook([](const std::string& call) {
    if (call.find("/thrown") != std::string::npos) throw std::runtime_error("no\n" + call);
  });
  Start();
  EXPECT_EQ(CacheDiffToStore(seconds(5)), "");
  EXPECT_EQ(Owner("aa%2Fbb"), "slash");  // one name, escaped

  Set("/devices/" + newline + "/display_name", std::string("x\ry\tz\x7f\x01", 7));
  Set("/devices/" + newline + "/thrown", "x");
  Set(MacKey(newline, "n\n2"), "");
  Set("/devices/" + percent + "/device_os", "%s%s%s%s%s%n");
  Set("/devices/" + percent + "/%s%d%n", "x");
  Set("/devices/big/display_name", Big('b'));
  Set(MacKey("slash", std::string("n\0l/x", 5)), "i\n9");  // one name: "n%00l%2Fx"
  for (const std::string message :
       {"3 update_display_name: device_id=d\\x0a1, display_name=x\\x0dy\\x09z\\x7f\\x01",
        "0 sync_thread_function: BUG: applying /devices/d\\x0a1/thrown failed: "
        "no\\x0akey0 /devices/d\\x0a1/thrown",
        "3 new_mac_ip: device_id=d\\x0a1, mac=n\\x0a2, ip=",
        "3 update_os: device_id=d%s%n%d, os=%s%s%s%s%s%n",
        "3 handle_device_change: Key type 3, device_id=slash, value=n%00l%2Fx",
        "3 new_mac_ip: device_id=slash, mac=n%00l%2Fx, ip=i\\x0a9"}) {
    EXPECT_TRUE(Logged(message)) << message;
  }
  EXPECT_EQ(CacheDiffToStore(seconds(5)), "");
  api::Device big;
  EXPECT_TRUE(api::get_device("big", big) && big.display_name == Big('b'));
}

}  // namespace
