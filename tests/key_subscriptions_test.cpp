// Key-change subscriptions: registering functions under extended regular
// expressions (MonitoredKeys, set_on_key_change / unset_on_key_change) and
// calling them for every key that matches somewhere.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/change_recorder.h"
#include "support/log_capture.h"

namespace {

// The registry and log capture that the callbacks below work on.
MonitoredKeys* g_registry = nullptr;
LogCapture* g_log = nullptr;

// Marks records the key and how many lines had been logged when it ran.
void Marks(const std::string& key) {
  RecordedChanges::Record("marks " + key + " after " + std::to_string(g_log->Lines().size()));
}

// RemovesItself drops its own registration under "a" and OnKey2's under "b".
void RemovesItself(const std::string& key) {
  RecordedChanges::Record("removes " + key);
  g_registry->remove_key("a", RemovesItself);
  g_registry->remove_key("b", RecordedChanges::OnKey2);
}

// AddsOnKey registers OnKey under "c".
void AddsOnKey(const std::string& key) {
  RecordedChanges::Record("adds " + key);
  g_registry->add_key("c", RecordedChanges::OnKey);
}

void Throws(const std::string& key) {
  RecordedChanges::Record("throws " + key);
  throw std::runtime_error("subscriber failed");
}

class KeySubscriptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RecordedChanges::Reset();
    g_registry = &registry_;
    g_log = &log_;
  }
  void TearDown() override {
    g_registry = nullptr;
    g_log = nullptr;
    std::lock_guard<std::mutex> hold(g_monitored_keys.mutex);
    g_monitored_keys.key_spies.clear();
  }

  // Texts returns the registry's expression texts, in order.
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const KeySpy& spy : registry_.key_spies) out.push_back(spy.key_regex);
    return out;
  }

  // Matches reports which of `keys` the single expression `key_regex` matches.
  std::vector<std::string> Matches(const std::string& key_regex,
                                   const std::vector<std::string>& keys) {
    MonitoredKeys registry;
    EXPECT_EQ(registry.add_key(key_regex, RecordedChanges::OnKey), 0);
    std::vector<std::string> matched;
    for (const std::string& key : keys) {
      if (registry.match_key(key)) matched.push_back(key);
    }
    std::vector<std::string> called;
    for (const std::string& event : RecordedChanges::Take()) called.push_back(event.substr(4));
    EXPECT_EQ(called, matched) << "result and calls disagree for " << key_regex;
    return matched;
  }

  MonitoredKeys registry_;
  LogCapture log_{4};
};

TEST_F(KeySubscriptionsTest, OneEntryPerTextSharedByItsRegistrations) {
  EXPECT_EQ(registry_.add_key("^/devices/", RecordedChanges::OnKey), 0);
  EXPECT_EQ(registry_.add_key("^/devices/", RecordedChanges::OnKey), 0);
  EXPECT_EQ(registry_.add_key("^/devices/", RecordedChanges::OnKey2), 0);
  EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"3 KeySpy: Monitoring key ^/devices/"}));
  ASSERT_EQ(registry_.key_spies.size(), 1u);

  EXPECT_TRUE(registry_.match_key("/devices/d1/x"));
  EXPECT_EQ(
      RecordedChanges::Take(),
      (std::vector<std::string>{"key /devices/d1/x", "key /devices/d1/x", "key2 /devices/d1/x"}));

  // One removal drops both registrations of the function, silently.
  log_.Clear();
  EXPECT_EQ(registry_.remove_key("^/devices/", RecordedChanges::OnKey), 0);
  EXPECT_TRUE(log_.Messages().empty());
  EXPECT_TRUE(registry_.match_key("/devices/d1/x"));
  EXPECT_EQ(RecordedChanges::Take(), (std::vector<std::string>{"key2 /devices/d1/x"}));
  // A function that isn't registered under the text: nothing changes.
  EXPECT_EQ(registry_.remove_key("^/devices/", RecordedChanges::OnKey), 0);
  EXPECT_EQ(registry_.key_spies.front().callbacks.size(), 1u);
  EXPECT_EQ(log_.Messages().size(), 2u) << "only the two match lines";

  log_.Clear();
  EXPECT_EQ(registry_.remove_key("^/devices/", RecordedChanges::OnKey2), 0);
  EXPECT_EQ(log_.Messages(),
            (std::vector<std::string>{"3 remove_key: Key regex ^/devices/ completely removed"}));
  EXPECT_TRUE(registry_.key_spies.empty());
  EXPECT_FALSE(registry_.match_key("/devices/d1/x"));
  EXPECT_TRUE(RecordedChanges::Take().empty());

  // Removing under a text that has no entry.
  log_.Clear();
  EXPECT_EQ(registry_.remove_key("^/devices/", RecordedChanges::OnKey2), 0);
  EXPECT_EQ(log_.Messages(),
            (std::vector<std::string>{"2 remove_key: Key ^/devices/ not monitored"}));

  // A text registered again after its removal is a new entry at the end.
  registry_.add_key("x", RecordedChanges::OnKey);
  registry_.add_key("y", RecordedChanges::OnKey);
  registry_.remove_key("x", RecordedChanges::OnKey);
  log_.Clear();
  registry_.add_key("x", RecordedChanges::OnKey2);
  EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"3 KeySpy: Monitoring key x"}));
  EXPECT_EQ(Texts(), (std::vector<std::string>{"y", "x"}));
}

TEST_F(KeySubscriptionsTest, MatchingWalksEveryEntryInCreationOrder) {
  registry_.add_key("display_name", Marks);
  registry_.add_key("macs", RecordedChanges::OnKey2);
  registry_.add_key("(display_name)", RecordedChanges::OnKey);
  registry_.add_key("^/devices/d1", Marks);
  log_.Clear();

  EXPECT_TRUE(registry_.match_key("/devices/d1/display_name"));

  const std::string key = "/devices/d1/display_name";
  EXPECT_EQ(log_.Messages(),
            (std::vector<std::string>{
                "3 match_key: Checking key " + key + " against regex display_name",
                "3 match_key: Key " + key + " matches display_name",
                "3 match_key: Checking key " + key + " against regex macs",
                "3 match_key: Checking key " + key + " against regex (display_name)",
                "3 match_key: Key " + key + " matches (display_name)",
                "3 match_key: Checking key " + key + " against regex ^/devices/d1",
                "3 match_key: Key " + key + " matches ^/devices/d1",
            }));
  // Each entry's functions run right after its match line, before the next
  // entry is checked.
  EXPECT_EQ(RecordedChanges::Take(), (std::vector<std::string>{
                                         "marks " + key + " after 2",
                                         "key " + key,
                                         "marks " + key + " after 7",
                                     }));

  // Nothing matches: false, and only the check lines.
  log_.Clear();
  EXPECT_FALSE(registry_.match_key("/other"));
  EXPECT_EQ(log_.Messages().size(), 4u);
  EXPECT_TRUE(RecordedChanges::Take().empty());

  // With the logger at level 2 matching logs nothing.
  LogCapture quiet(2);
  EXPECT_TRUE(registry_.match_key("/devices/d2/macs"));
  EXPECT_TRUE(quiet.Messages().empty());
  EXPECT_EQ(RecordedChanges::Take(), (std::vector<std::string>{"key2 /devices/d2/macs"}));
}

TEST_F(KeySubscriptionsTest, ExpressionsSearchTheKeyUnanchored) {
  EXPECT_EQ(
      Matches("/devices/.*/traffic_blocked",
              {"/devices/d1/traffic_blocked", "/devices/d1/traffic_blocked/x",
               "/devices/a/b/traffic_blocked_old", "/x/devices/d1/traffic_blocked",
               "/devices/traffic_blocked", "/devices/d1/Traffic_Blocked", "/devices/d1/blocked"}),
      (std::vector<std::string>{"/devices/d1/traffic_blocked", "/devices/d1/traffic_blocked/x",
                                "/devices/a/b/traffic_blocked_old",
                                "/x/devices/d1/traffic_blocked"}));
  // Own anchors bind; extended syntax without REG_NEWLINE: "." takes a line
  // end and "^" only matches at the start of the text.
  EXPECT_EQ(Matches("^/devices/[^/]+/traffic_blocked$",
                    {"/devices/d1/traffic_blocked", "/devices/d1/traffic_blocked/x",
                     "/x/devices/d1/traffic_blocked"}),
            (std::vector<std::string>{"/devices/d1/traffic_blocked"}));
  EXPECT_EQ(Matches("^/devices/d.$", {"/devices/d\n", "x\n/devices/d1", "/devices/d1"}),
            (std::vector<std::string>{"/devices/d\n", "/devices/d1"}));
  EXPECT_EQ(Matches("d(1|2)+$", {"/devices/d12", "/devices/d3", "/devices/D1"}),
            (std::vector<std::string>{"/devices/d12"}));
}

TEST_F(KeySubscriptionsTest, InvalidExpressionIsRefused) {
  ASSERT_EQ(orv::devMgmt::set_on_key_change("^/devices/", RecordedChanges::OnKey), 0);
  orverrno.set(0, "");
  log_.Clear();

  EXPECT_EQ(orv::devMgmt::set_on_key_change("(/devices", RecordedChanges::OnKey2), -1);
  EXPECT_EQ(orverrno.code(), 4);
  EXPECT_EQ(orverrno.message(), "invalid key_regex");
  EXPECT_EQ(log_.Messages(),
            (std::vector<std::string>{"0 add_key: Failed to monitor key (/devices"}));
  ASSERT_EQ(g_monitored_keys.key_spies.size(), 1u);
  EXPECT_EQ(g_monitored_keys.key_spies.front().callbacks.size(), 1u);
  {
    LogCapture failures_only(0);  // the failure line is of level 0
    EXPECT_EQ(orv::devMgmt::set_on_key_change("a[", RecordedChanges::OnKey2), -1);
    EXPECT_EQ(failures_only.Messages(),
              (std::vector<std::string>{"0 add_key: Failed to monitor key a["}));
  }

  // A later valid registration works, and success leaves orverrno alone.
  EXPECT_EQ(orv::devMgmt::set_on_key_change("macs", RecordedChanges::OnKey2), 0);
  EXPECT_EQ(orverrno.code(), 4);
  EXPECT_EQ(orverrno.message(), "invalid key_regex");
  EXPECT_TRUE(g_monitored_keys.match_key("/devices/d1/macs"));
  EXPECT_EQ(RecordedChanges::Take(),
            (std::vector<std::string>{"key /devices/d1/macs", "key2 /devices/d1/macs"}));

  // unset_on_key_change works on the same registry.
  log_.Clear();
  EXPECT_EQ(orv::devMgmt::unset_on_key_change("macs", RecordedChanges::OnKey2), 0);
  EXPECT_EQ(orv::devMgmt::unset_on_key_change("(/devices", RecordedChanges::OnKey2), 0);
  EXPECT_EQ(log_.Messages(), (std::vector<std::string>{
                                 "3 remove_key: Key regex macs completely removed",
                                 "2 remove_key: Key (/devices not monitored",
                             }));
  EXPECT_EQ(g_monitored_keys.key_spies.size(), 1u);
}

TEST_F(KeySubscriptionsTest, EmptyRegistryMatchesNothingSilently) {
  EXPECT_FALSE(registry_.match_key("/devices/d1/display_name"));
  EXPECT_FALSE(g_monitored_keys.match_key("/devices"));
  EXPECT_TRUE(log_.Messages().empty());
}

TEST_F(KeySubscriptionsTest, CallbacksMayChangeTheRegistryWhileItIsWalked) {
  registry_.add_key("a", RemovesItself);
  registry_.add_key("a", RecordedChanges::OnKey);
  registry_.add_key("b", RecordedChanges::OnKey2);
  registry_.add_key("b", AddsOnKey);

  // The functions called are those registered when the walk began.
  EXPECT_TRUE(registry_.match_key("/ab"));
  EXPECT_EQ(RecordedChanges::Take(),
            (std::vector<std::string>{"removes /ab", "key /ab", "key2 /ab", "adds /ab"}));
  EXPECT_EQ(Texts(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(registry_.key_spies.front().callbacks.size(), 1u);

  EXPECT_TRUE(registry_.match_key("/abc"));
  EXPECT_EQ(RecordedChanges::Take(),
            (std::vector<std::string>{"key /abc", "adds /abc", "key /abc"}));

  // A function that throws ends the walk; the registry stays usable.
  MonitoredKeys throwing;
  g_registry = &throwing;
  throwing.add_key("x", Throws);
  throwing.add_key("x", RecordedChanges::OnKey);
  throwing.add_key("y", RecordedChanges::OnKey2);
  EXPECT_THROW(throwing.match_key("/xy"), std::runtime_error);
  EXPECT_EQ(RecordedChanges::Take(), (std::vector<std::string>{"throws /xy"}));
  EXPECT_EQ(throwing.remove_key("x", Throws), 0);
  EXPECT_TRUE(throwing.match_key("/xy"));
  EXPECT_EQ(RecordedChanges::Take(), (std::vector<std::string>{"key /xy", "key2 /xy"}));
}

}  // namespace
