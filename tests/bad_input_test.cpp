// Keys and values with odd bytes: line ends and other control characters,
// "%" signs, invalid UTF-8, 64 KiB texts, "/" and NUL inside a MAC, through
// the store and the running library: nothing crashes, every log line stays
// one line, the cache holds the bytes as stored, and the traffic report
// leaves out exactly what Jansson refuses.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/path.h"
#include "support/sync_helpers.h"

namespace {

using Texts = std::vector<std::string>;

const std::string kNewlineId = "d\n1", kPercentId = "d%s%n%d", kInvalidId = "d\xff\xfe";

// Big is a 64 KiB text with a line end every 1000 bytes.
std::string Big(char fill) {
  std::string text(64 * 1024, fill);
  for (std::size_t at = 999; at < text.size(); at += 1000) text[at] = '\n';
  return text;
}

// MacKey is the key of a device's binding, the MAC added as one escaped name.
std::string MacKey(const std::string& device_id, const std::string& mac) {
  orv::path key;
  key.add_piece(true, "/devices").add_piece(true, device_id).add_piece(true, "macs");
  return key.add_piece(false, mac).str();
}

using BadInputTest = LiveTest;

TEST_F(BadInputTest, OddBytesThroughTheStoreAndTheRunningLibrary) {
  store_.Set("/devices/" + kNewlineId + "/display_name", "two\nlines");
  store_.Set(MacKey(kNewlineId, "m\n1"), "10.0.0.1\n");
  store_.Set("/devices/" + kPercentId + "/display_name", "100% %s %d %n %%");
  store_.Set(MacKey(kPercentId, "m%2F"), "%s");
  store_.Set("/devices/" + kInvalidId + "/display_name", "\xc3\x28");
  store_.Set(MacKey(kInvalidId, "m\xff"), "i\xfe");
  store_.Set("/devices/big/display_name", Big('a'));
  store_.Set(MacKey("big", std::string(200, 'M')), Big('9'));
  store_.Set(MacKey("slash", "aa/bb"), "10.0.0.5");
  store_.Set(MacKey("slash", ".hidden"), "10.0.0.6");
  // The report's device: one IP and one MAC that are not UTF-8.
  store_.Set(MacKey("tj", "m1"), "\xff\x31");
  store_.Set(MacKey("tj", "m2"), "10.0.0.2");
  store_.Set(MacKey("tj", "m\xfe"), "i3");
  store_.Set(MacKey("tx", "\xfe\xff"), "10.0.0.9");  // no MAC Jansson takes
  g_hook = [](const std::string& event) {
    if (event.find("/thrown") != std::string::npos) throw std::runtime_error("no\n" + event);
  };
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);
  Start("tx");
  EXPECT_EQ(WaitForCacheToMatchStore(g_devices, std::chrono::seconds(5)), "");
  std::string owner;
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("aa%2Fbb", owner), 0);
  EXPECT_EQ(owner, "slash");
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("%2Ehidden", owner), 0);

  // The same bytes as changes.
  g_events.Clear();
  store_.Set("/devices/" + kNewlineId + "/display_name", std::string("x\ry\tz\x7f\x01", 7));
  store_.Set("/devices/" + kNewlineId + "/thrown", "x");  // the store logs the exception
  store_.Set(MacKey(kNewlineId, "n\n2"), "");
  store_.Set("/devices/" + kPercentId + "/device_os", "%s%s%s%s%s%n");
  store_.Set("/devices/" + kPercentId + "/%s%d%n", "x");  // another field: passed on
  store_.Set("/devices/big/display_name", Big('b'));
  store_.Set(MacKey("slash", "cc/dd"), "10.0.0.7");
  store_.Set(MacKey("slash", std::string("n\0l/x", 5)), "i\n9");  // one name: "n%00l%2Fx"
  // A MAC or IP that is not UTF-8 is left out of its array, its partner
  // stays; a document without MACs, or with an id Jansson refuses, is none.
  const auto report = [](const char* blocked) {
    return R"(report {"device_id":"tj","blocked":)" + std::string(blocked) +
           R"(,"macs":["m1","m2"],"ips":["10.0.0.2","i3"]})";
  };
  store_.Set("/devices/tj/traffic_blocked", "1");
  ASSERT_TRUE(g_events.WaitForText(report("1")));  // or a later write is read for it
  store_.Set("/devices/tx/traffic_blocked", "1");
  store_.Set("/devices/" + kInvalidId + "/traffic_blocked", "1");
  store_.Set("/devices/tj/traffic_blocked", "0");
  ASSERT_TRUE(g_events.WaitForText(report("0")));
  EXPECT_EQ(WaitForCacheToMatchStore(g_devices, std::chrono::seconds(5)), "");
  Texts reports;
  for (const std::string& text : g_events.Texts()) {
    if (text.rfind("report ", 0) == 0) reports.push_back(text);
  }
  EXPECT_EQ(reports, (Texts{report("1"), report("0")}));
  EXPECT_TRUE(log_.Contains(3, "Traffic blocked status: {\"device_id\":\"tj\",\"blocked\":1,"));
  for (const std::string message :
       {"3 handle_device_change: Changed key /devices/d\\x0a1/display_name",
        "3 update_display_name: device_id=d\\x0a1, display_name=x\\x0dy\\x09z\\x7f\\x01",
        "0 ApplyChange: BUG: applying /devices/d\\x0a1/thrown failed: "
        "no\\x0akey0 /devices/d\\x0a1/thrown",
        "3 new_mac_ip: device_id=d\\x0a1, mac=n\\x0a2, ip=",
        "3 update_os: device_id=d%s%n%d, os=%s%s%s%s%s%n",
        "3 handle_device_change: Changed key /devices/d%s%n%d/%s%d%n",
        "3 new_mac_ip: device_id=slash, mac=cc%2Fdd, ip=10.0.0.7",
        "3 handle_device_change: Key type 3, device_id=slash, value=n%00l%2Fx",
        "3 new_mac_ip: device_id=slash, mac=n%00l%2Fx, ip=i\\x0a9"}) {
    EXPECT_TRUE(Logged(log_, message)) << message;
  }
  orv::devMgmt::Device big;
  ASSERT_TRUE(orv::devMgmt::get_device("big", big));
  EXPECT_EQ(big.display_name, Big('b'));
  EXPECT_EQ(big.macs.at(0).ip, Big('9'));
}

}  // namespace
