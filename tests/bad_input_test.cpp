// Keys and values with odd bytes: line ends and other control characters,
// "%" signs, invalid UTF-8, 64 KiB texts, empty pieces, "/" and NUL inside a
// MAC. Through the store and the running library, and straight through the
// dispatcher: nothing crashes, every log line stays one line, the cache holds
// the bytes as stored, and the traffic report leaves out exactly what Jansson
// refuses.

#include <gtest/gtest.h>
#include <jansson.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dispatcher.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/path.h"
#include "support/cache_match.h"
#include "support/event_recorder.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

using orv::devmgmt_internal::handle_device_change;
using std::chrono::seconds;

const std::vector<std::string> kFields = {"display_name", "device_os", "macs", "traffic_blocked"};

EventRecorder& Events() {
  static EventRecorder events;
  return events;
}

void OnDevInfo(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  Events().Add(std::to_string(type) + " " + id + " " + field);
}
void OnKey(const std::string& key) { Events().Add("key " + key); }
void ThrowOnKey(const std::string& key) { throw std::runtime_error("no\n" + key); }
void OnReport(json_t* document) {
  char* text = json_dumps(document, JSON_COMPACT | JSON_PRESERVE_ORDER);
  Events().Add(std::string("report ") + (text != nullptr ? text : "<unprintable>"));
  std::free(text);
  json_decref(document);
}

// Odd texts. The frame writes a control character as \xNN.
const std::string kNewlineId = "d\n1";
const std::string kPercentId = "d%s%n%d";
const std::string kInvalidId = "d\xff\xfe";  // not UTF-8
const std::string kControls = std::string("x\ry\tz\x7f\x01", 7);

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

// OneLineEach returns the caught lines that hold a control character.
std::vector<std::string> NotOneLine(const LogCapture& log) {
  std::vector<std::string> broken;
  for (const LogLine& line : log.Lines()) {
    if (std::any_of(line.text.begin(), line.text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7f'; })) {
      broken.push_back(line.text.substr(0, 200));
    }
  }
  return broken;
}

bool HasMessage(const LogCapture& log, const std::string& message) {
  const std::vector<std::string> messages = log.Messages();
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Events().Clear();
    orv::devMgmt::set_on_dev_info_change(kFields, OnDevInfo);
    ASSERT_EQ(orv::devMgmt::set_on_key_change("^/devices", OnKey), 0);
    ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);
  }

  void TearDown() override {
    EXPECT_EQ(orv::devMgmt::uninit(), 0);
    orv::devMgmt::unset_on_dev_info_change(kFields, OnDevInfo);
    orv::devMgmt::unset_on_key_change("^/devices", OnKey);
    orv::devMgmt::unset_on_key_change("/thrown$", ThrowOnKey);
    orv::devMgmt::unset_on_traffic_blocked_change(OnReport);
    g_devices.clear();
  }

  TempStore store_;
  LogCapture log_{4};
};

TEST_F(BadInputTest, OddBytesThroughTheStoreAndTheRunningLibrary) {
  store_.Set("/devices/" + kNewlineId + "/display_name", "two\nlines");
  store_.Set(MacKey(kNewlineId, "m\n1"), "10.0.0.1\n");
  store_.Set("/devices/" + kPercentId + "/display_name", "100% %s %d %n %%");
  store_.Set(MacKey(kPercentId, "m%2F"), "%s");
  store_.Set("/devices/" + kInvalidId + "/display_name", "\xc3\x28");
  store_.Set(MacKey(kInvalidId, "m\xff"), "i\xfe");
  store_.Set("/devices/big/display_name", Big('a'));
  store_.Set("/devices/big/profile_id", Big('p'));
  store_.Set(MacKey("big", std::string(200, 'M')), Big('9'));
  store_.Set(MacKey("slash", "aa/bb"), "10.0.0.5");
  store_.Set(MacKey("slash", ".hidden"), "10.0.0.6");
  // The report's device: one IP and one MAC that are not UTF-8.
  store_.Set(MacKey("tj", "m1"),
             "\xff"
             "1");
  store_.Set(MacKey("tj", "m2"), "10.0.0.2");
  store_.Set(MacKey("tj", "m\xfe"), "i3");
  store_.Set(MacKey("tx", "\xfe\xff"), "10.0.0.9");  // no MAC Jansson takes
  ASSERT_EQ(orv::devMgmt::init(), 0);
  ASSERT_TRUE(Events().WaitForText("0 tx ", 2));  // init's load, then the thread's
  EXPECT_EQ(WaitForCacheToMatchStore(g_devices, seconds(5)), "");
  std::string owner;
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("aa%2Fbb", owner), 0);
  EXPECT_EQ(owner, "slash");
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("%2Ehidden", owner), 0);

  // The same bytes as changes.
  Events().Clear();
  store_.Set("/devices/" + kNewlineId + "/display_name", kControls);
  ASSERT_EQ(orv::devMgmt::set_on_key_change("/thrown$", ThrowOnKey), 0);
  store_.Set("/devices/" + kNewlineId + "/thrown", "x");  // the store logs the exception
  store_.Set(MacKey(kNewlineId, "n\n2"), "");
  store_.Set("/devices/" + kPercentId + "/device_os", "%s%s%s%s%s%n");
  store_.Set("/devices/big/display_name", Big('b'));
  store_.Set(MacKey("slash", "cc/dd"), "10.0.0.7");
  const std::string first_report =
      R"(report {"device_id":"tj","blocked":1,"macs":["m1","m2"],"ips":["10.0.0.2","i3"]})";
  store_.Set("/devices/tj/traffic_blocked", "1");
  ASSERT_TRUE(Events().WaitForText(first_report));  // or a later write is read for it
  store_.Set("/devices/tx/traffic_blocked", "1");
  store_.Set("/devices/" + kInvalidId + "/traffic_blocked", "1");
  store_.Set("/devices/tj/traffic_blocked", "0");
  const std::string last_report =
      R"(report {"device_id":"tj","blocked":0,"macs":["m1","m2"],"ips":["10.0.0.2","i3"]})";
  ASSERT_TRUE(Events().WaitForText(last_report));
  EXPECT_EQ(WaitForCacheToMatchStore(g_devices, seconds(5)), "");

  // A MAC or IP that is not UTF-8 is left out of its array, its partner
  // stays; a document without MACs, or with an id Jansson refuses, is none.
  std::vector<std::string> reports;
  for (const std::string& text : Events().Texts()) {
    if (text.rfind("report ", 0) == 0) reports.push_back(text);
  }
  EXPECT_EQ(reports, (std::vector<std::string>{first_report, last_report}));
  EXPECT_EQ(NotOneLine(log_), std::vector<std::string>());
  EXPECT_TRUE(
      HasMessage(log_, "3 handle_device_change: Changed key /devices/d\\x0a1/display_name"));
  EXPECT_TRUE(HasMessage(
      log_, "3 update_display_name: device_id=d\\x0a1, display_name=x\\x0dy\\x09z\\x7f\\x01"));
  EXPECT_TRUE(HasMessage(log_, "3 update_os: device_id=d%s%n%d, os=%s%s%s%s%s%n"));
  EXPECT_TRUE(HasMessage(log_, "3 new_mac_ip: device_id=d\\x0a1, mac=n\\x0a2, ip="));
  EXPECT_TRUE(HasMessage(log_, "3 new_mac_ip: device_id=slash, mac=cc%2Fdd, ip=10.0.0.7"));
  EXPECT_TRUE(HasMessage(log_,
                         "0 notification callback for /devices/d\\x0a1/thrown threw: "
                         "no\\x0a/devices/d\\x0a1/thrown"));
  EXPECT_TRUE(log_.Contains(3, "Traffic blocked status: {\"device_id\":\"tj\",\"blocked\":1,"));
  orv::devMgmt::Device big;
  ASSERT_TRUE(orv::devMgmt::get_device("big", big));
  EXPECT_EQ(big.display_name, Big('b'));
  ASSERT_EQ(big.macs.size(), 1u);
  EXPECT_EQ(big.macs[0].ip, Big('9'));
}

TEST_F(BadInputTest, OddKeysStraightThroughTheDispatcher) {
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/" + kNewlineId + "/device_os", "linux\n");
  g_devices.load();
  store_.Set(MacKey("d1", std::string("n\0l/x", 5)), "i\n9");
  Events().Clear();
  const std::string big_id(64 * 1024, 'i');
  struct Case {
    std::string key;
    int result;
  };
  const std::vector<Case> cases = {
      {"/devices/" + big_id + "/display_name", 0},  // refused by the store: unreadable
      {"/devices/d1/macs/" + Big('m'), 1},          // bound with an empty IP
      {"/devices//display_name", 0},
      {"/devices/d1/macs/", 0},
      {"/devices/d1//", 0},  // the device node, yet present: a BUG line
      {"//devices", 0},
      {"", 0},
      {"/", 0},
      {"/devices/d1/%s%d%n", 1},  // another field: passed on
      {"/devices/" + kNewlineId + "/device_os", 1},
      {MacKey("d1", std::string("n\0l/x", 5)), 1},  // one name: "n%00l%2Fx"
  };
  for (const Case& c : cases) {
    orv::path key;
    if (!c.key.empty()) key.add_piece(true, c.key);
    EXPECT_EQ(handle_device_change(key), c.result) << c.key.substr(0, 80);
  }
  EXPECT_EQ(NotOneLine(log_), std::vector<std::string>());
  EXPECT_TRUE(HasMessage(log_, "0 handle_device_change: BUG: change on /devices/d1//"));
  EXPECT_TRUE(HasMessage(log_, "3 update_os: device_id=d\\x0a1, os=linux\\x0a"));
  EXPECT_TRUE(
      HasMessage(log_, "3 handle_device_change: Key type 3, device_id=d1, value=n%00l%2Fx"));
  EXPECT_FALSE(orv::devMgmt::device_exists(big_id));
  std::vector<std::string> macs;
  EXPECT_EQ(orv::devMgmt::get_device_macs("d1", macs), 3);
  EXPECT_EQ(macs, (std::vector<std::string>{"m1", Big('m'), "n%00l%2Fx"}));
  EXPECT_EQ(Events().Texts(),
            (std::vector<std::string>{"1 d1 macs", "key /devices/d1/macs/" + Big('m'),
                                      "key /devices/d1/%s%d%n", "1 " + kNewlineId + " device_os",
                                      "key /devices/" + kNewlineId + "/device_os", "1 d1 macs",
                                      "key /devices/d1/macs/n%00l%2Fx"}));
}

}  // namespace
