// Tests of the host settings store (a directory tree under a private root) and
// of its change notifications (MonitoredKey).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "orv/error.h"
#include "orv/path.h"
#include "orv/settings.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

namespace sm = orv::setMgmt;
using ::testing::StartsWith;
using Texts = std::vector<std::string>;
using std::string_literals::operator""s;

// Every entry of `directory`, hidden ones included, sorted.
Texts Entries(const std::string& directory) {
  Texts names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Error gives "<code> <text>" of orverrno after a call that failed (below
// 0), else "ok".
std::string Error(int result) {
  return result < 0 ? std::to_string(orverrno.code()) + " " + orverrno.message() : "ok";
}

TEST(StoreTest, ValuesNodesAndListingsRoundTrip) {
  TempStore store;
  const std::string binary("line\n\0tail", 10);
  store.Set("/a/bin", binary);
  store.Set("/a/b/c", "");
  std::string value = "old";
  EXPECT_EQ(sm::getKey("/a/bin", value), 10);
  EXPECT_EQ(value, binary);
  EXPECT_EQ(sm::getKey("/a/b/c", value), 0);
  EXPECT_EQ(value, "");
  value = "untouched";
  EXPECT_EQ(Error(sm::getKey("/a/missing", value)), "4 key /a/missing not found");
  EXPECT_THAT(Error(sm::getKey("/a", value)), StartsWith("5 key /a"));
  EXPECT_EQ(value, "untouched");
  EXPECT_EQ(sm::getKeyValue("/a/bin", std::string("fb")), binary);
  orv::storage::NodeInfo info;
  ASSERT_EQ(sm::statKey("/a/bin", info), 0);
  EXPECT_EQ(info.size, 10);
  EXPECT_EQ(Error(sm::statKey("/nothing", info)), "4 key /nothing not found");

  // Listings are sorted bytewise, appended, the store's own hidden entries
  // left out; a name listed addresses the node it came from.
  for (const std::string& name :
       Texts{"C", "with space", "a.b", "aa/bb", ".dot", "n\0ul"s, "x~y!#"}) {
    const orv::path key = orv::path().add_piece(true, "/l").add_piece(false, name);
    store.Set(key.str(), key.str());
  }
  std::ofstream(store.root() + "/l/.hidden") << "the store's own";
  Texts listed = {"kept"};
  ASSERT_EQ(sm::enumSubkeys("/l", listed), 7);
  EXPECT_EQ(listed,
            (Texts{"kept", "%2Edot", "C", "a.b", "aa%2Fbb", "n%00ul", "with space", "x~y!#"}));
  for (std::size_t i = 1; i < listed.size(); ++i) {
    const orv::path key = orv::path().add_piece(true, "/l").add_piece(false, listed[i]);
    EXPECT_GE(sm::getKey(key.str(), value), 0) << key;
    EXPECT_EQ(value, "/l/" + listed[i]);
  }
  Texts top;
  EXPECT_EQ(sm::enumSubkeys("/", top), 2);
  EXPECT_EQ(top, (Texts{"a", "l"}));
  EXPECT_THAT(Error(sm::enumSubkeys("/a/bin", top)), StartsWith("5 key /a/bin"));
  EXPECT_EQ(Error(sm::enumSubkeys("/q", top)), "4 key /q not found");
  EXPECT_EQ(top.size(), 2u);

  // Integers are read whole, else the fallback.
  const std::pair<std::string, int> cases[] = {{" -17\n", -17},     {"2147483647", INT_MAX},
                                               {"2147483648", -99}, {"12abc", -99},
                                               {"", -99},           {"4\0"s, -99}};
  for (const auto& [text, expected] : cases) {
    store.Set("/i", text);
    EXPECT_EQ(sm::getKeyValue("/i", -99), expected) << "\"" << text << "\"";
  }
  EXPECT_EQ(sm::getKeyValue("/missing", -99), -99);
}

TEST(StoreTest, BadKeysAndWrongKindsTouchNothing) {
  TempStore store;
  const std::string parent = store.root().substr(0, store.root().rfind('/'));
  const Texts parent_before = Entries(parent);
  for (const std::string& key :
       {"relative"s, ""s, "/a/../b"s, "/../escape"s, "/a//b"s, "/.hid"s, "/a/.b"s, "/a/"s, "//"s,
        "/a/.."s, "/a\0b"s, "/" + std::string(300, 'p')}) {
    std::string value;
    Texts names;
    orv::storage::NodeInfo info;
    for (const std::string& error :
         {Error(sm::setKey(key, "x")), Error(sm::getKey(key, value)), Error(sm::statKey(key, info)),
          Error(sm::enumSubkeys(key, names)), Error(sm::deleteKey(key))}) {
      EXPECT_THAT(error, StartsWith("2 bad key")) << key;
    }
  }
  EXPECT_THAT(Error(sm::deleteKey("/")), StartsWith("2 bad key"));
  EXPECT_EQ(Entries(parent), parent_before);
  EXPECT_EQ(Entries(store.root()), Texts{});

  store.Set("/n/x", "1");
  store.Set("/v", "value");
  for (const char* key : {"/n", "/v/x", "/v/x/y", "/"}) {
    EXPECT_THAT(Error(sm::setKey(key, "x")), StartsWith("5 key "s + key));
  }
  // The failed writes left no temporary files behind.
  EXPECT_EQ(Entries(store.root()), (Texts{"n", "v"}));
  EXPECT_EQ(sm::deleteKey("/n"), 0);
  EXPECT_EQ(Error(sm::deleteKey("/n")), "4 key /n not found");
  EXPECT_EQ(sm::getKeyValue("/v", std::string()), "value");
}

Texts g_reported;  // what the watches report, in order

int Record(const orv::path& key) {
  g_reported.push_back(key.str());
  if (key.str() == "/w/bad") throw std::runtime_error("boom");
  if (key.str() == "/w/worse") throw 42;
  return 0;
}

void Watch(sm::MonitoredKey& watch, const char* key, bool recursive) {
  watch.key.add_piece(true, key);
  watch.recursive = recursive;
  watch.callback = Record;
}

// Reported reads what the watch has pending and gives the keys reported,
// sorted. No waiting: the kernel queues the events of a change before the
// call making it returns.
Texts Reported(sm::MonitoredKey& watch) {
  g_reported.clear();
  EXPECT_GE(watch.read_notifications(), 0);
  std::sort(g_reported.begin(), g_reported.end());
  return g_reported;
}

TEST(MonitoredKeyTest, ReportsEachChangedKeyOnce) {
  TempStore store;
  store.Set("/w/existing", "0");
  sm::MonitoredKey watch;
  Watch(watch, "/w", true);
  ASSERT_GE(watch.get_fd(), 1);
  EXPECT_EQ(Reported(watch), Texts{}) << "existing content is not a change";
  store.Set("/w/a", "1");
  EXPECT_EQ(Reported(watch), Texts{"/w/a"});
  store.Set("/w/a", "2");
  store.Set("/outside", "x");
  EXPECT_EQ(Reported(watch), Texts{"/w/a"});
  std::ofstream(store.root() + "/w/existing") << "edited in place by another tool";
  EXPECT_EQ(Reported(watch), Texts{"/w/existing"});
  store.Delete("/w/a");
  EXPECT_EQ(Reported(watch), Texts{"/w/a"});
  // New nodes report the values written into them; a deleted node is one change.
  store.Set("/w/n/m/v1", "1");
  store.Set("/w/n/v2", "2");
  EXPECT_EQ(Reported(watch), (Texts{"/w/n/m/v1", "/w/n/v2"}));
  store.Set("/w/n/m/v1", "changed");
  EXPECT_EQ(Reported(watch), Texts{"/w/n/m/v1"});
  store.Delete("/w/n");
  EXPECT_EQ(Reported(watch), Texts{"/w/n"});
  // A throwing callback is logged; the other changes still come.
  LogCapture capture(0);
  store.Set("/w/bad", "1");
  store.Set("/w/worse", "1");
  store.Set("/w/good", "1");
  EXPECT_EQ(Reported(watch), (Texts{"/w/bad", "/w/good", "/w/worse"}));
  EXPECT_TRUE(capture.Contains(0, "notification callback for /w/bad threw: boom"));
  EXPECT_TRUE(capture.Contains(0, "notification callback for /w/worse threw"));
  EXPECT_EQ(capture.Lines().size(), 2u);
}

TEST(MonitoredKeyTest, LosingTheWatchIsSignalledOnce) {
  TempStore store;
  sm::MonitoredKey watch;
  Watch(watch, "/w", true);
  EXPECT_LT(watch.get_fd(), 1) << "no node yet";
  EXPECT_LT(watch.read_notifications(), 0);
  store.Set("/w/a", "1");
  ASSERT_GE(watch.get_fd(), 1);
  store.Delete("/w");
  EXPECT_EQ(Reported(watch), Texts{"/w"});
  store.Set("/w/b", "1");
  EXPECT_LT(watch.get_fd(), 1) << "lost, although the node is back";
  ASSERT_GE(watch.get_fd(), 1);
  store.Set("/w/c", "1");
  EXPECT_EQ(Reported(watch), Texts{"/w/c"});
  // Cancelling is not a loss: the next get_fd sets up a new watch.
  EXPECT_EQ(watch.cancel(), 0);
  EXPECT_LT(watch.read_notifications(), 0);
  ASSERT_GE(watch.get_fd(), 1);

  // An overflowing event queue loses the watch too.
  int queue_limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue_limit;
  for (int i = 0; i < queue_limit + 100; ++i) {
    // Empty new values: replacing written data would make ext4 flush it.
    ASSERT_EQ(sm::setKey("/w/k" + std::to_string(i), ""), 0);
  }
  watch.read_notifications();
  EXPECT_LT(watch.get_fd(), 1);
  ASSERT_GE(watch.get_fd(), 1);
  store.Set("/w/k1", "again");
  EXPECT_EQ(Reported(watch), Texts{"/w/k1"});
}

}  // namespace
