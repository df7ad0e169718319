#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "orv/error.h"
#include "orv/settings.h"
#include "support/temp_store.h"

namespace {

namespace sm = orv::setMgmt;

// Every entry of `directory`, hidden ones included, sorted.
std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string FileText(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ExpectError(int result, int code, const std::string& fragment, const std::string& what) {
  EXPECT_LT(result, 0) << what;
  EXPECT_EQ(orverrno.code(), code) << what << ": " << orverrno.message();
  EXPECT_NE(orverrno.message().find(fragment), std::string::npos)
      << what << ": " << orverrno.message();
}

TEST(StoreTest, ValuesRoundTripAsFiles) {
  TempStore store;
  EXPECT_EQ(sm::root(), store.root());
  const std::string binary("line\n\0tail", 10);
  store.Set("/a/b/c", "hello");
  store.Set("/a/bin", binary);
  std::string value = "old";
  EXPECT_EQ(sm::getKey("/a/b/c", value), 5);
  EXPECT_EQ(value, "hello");
  EXPECT_EQ(FileText(store.root() + "/a/b/c"), "hello");
  EXPECT_EQ(sm::getKey("/a/bin", value), 10);
  EXPECT_EQ(value, binary);
  store.Set("/a/b/c", "");
  EXPECT_EQ(sm::getKey("/a/b/c", value), 0);
  EXPECT_EQ(value, "");

  value = "untouched";
  ExpectError(sm::getKey("/a/missing", value), sm::kNotFound, "key /a/missing not found", "get");
  EXPECT_EQ(value, "untouched");
  ExpectError(sm::getKey("/a/bin/below", value), sm::kNotFound, "not found", "below a value");
  EXPECT_EQ(sm::getKeyValue("/a/bin", std::string("fb")), binary);
  EXPECT_EQ(sm::getKeyValue("/a/missing", std::string("fb")), "fb");
  EXPECT_EQ(sm::getKeyValue("/a", std::string("fb")), "fb");

  const auto now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  orv::storage::NodeInfo info;
  ASSERT_EQ(sm::statKey("/a/bin", info), 0);
  EXPECT_EQ(info.kind, orv::storage::NodeInfo::kValue);
  EXPECT_EQ(info.size, 10);
  EXPECT_GT(info.mtime_ns, now_ns - 60LL * 1000000000);
  EXPECT_LT(info.mtime_ns, now_ns + 60LL * 1000000000);
  ASSERT_EQ(sm::statKey("/a", info), 0);
  EXPECT_EQ(info.kind, orv::storage::NodeInfo::kNode);
  EXPECT_EQ(info.size, 0);
  ASSERT_EQ(sm::statKey("/", info), 0);
  EXPECT_EQ(info.kind, orv::storage::NodeInfo::kNode);
  ExpectError(sm::statKey("/nothing", info), sm::kNotFound, "not found", "stat");
  EXPECT_EQ(orverrno.code(), 4);
  EXPECT_NE(orverrno.message().find("/nothing"), std::string::npos);
}

TEST(StoreTest, ListingsAreSortedAndSkipHiddenEntries) {
  TempStore store;
  for (const char* key : {"/l/b", "/l/a", "/l/C", "/l/n/x", "/l/caf\xc3\xa9", "/l/z"})
    store.Set(key, "v");
  std::ofstream(store.root() + "/l/.hidden") << "store's own";
  std::vector<std::string> names = {"kept"};
  ASSERT_EQ(sm::enumSubkeys("/l", names), 6);
  EXPECT_EQ(names, (std::vector<std::string>{"kept", "C", "a", "b", "caf\xc3\xa9", "n", "z"}));

  std::vector<std::string> top;
  EXPECT_EQ(sm::enumSubkeys("/", top), 1);
  EXPECT_EQ(top, std::vector<std::string>{"l"});
  std::vector<std::string> none;
  ExpectError(sm::enumSubkeys("/l/a", none), sm::kWrongKind, "/l/a", "list a value");
  ExpectError(sm::enumSubkeys("/l/q", none), sm::kNotFound, "not found", "list missing");
  EXPECT_TRUE(none.empty());
}

TEST(StoreTest, IntegersParseWholeOrFallBack) {
  TempStore store;
  const struct {
    std::string text;
    int expected;
  } cases[] = {
      {"42", 42},
      {" -17\n", -17},
      {"+5", 5},
      {"\t7\r\n", 7},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"2147483648", -99},
      {"-2147483649", -99},
      {"99999999999999999999", -99},
      {"12abc", -99},
      {"1 2", -99},
      {"0x10", -99},
      {"", -99},
      {"  ", -99},
      {"-", -99},
      {std::string("4\0", 2), -99},
  };
  for (const auto& c : cases) {
    store.Set("/n", c.text);
    EXPECT_EQ(sm::getKeyValue("/n", -99), c.expected) << "\"" << c.text << "\"";
  }
  EXPECT_EQ(sm::getKeyValue("/missing", -99), -99);
  store.Set("/node/x", "1");
  EXPECT_EQ(sm::getKeyValue("/node", -99), -99);
}

TEST(StoreTest, BadKeysTouchNothing) {
  TempStore store;
  const std::string parent = store.root().substr(0, store.root().rfind('/'));
  const std::vector<std::string> parent_before = Entries(parent);
  const std::vector<std::string> bad = {"relative",
                                        "",
                                        "/a/../b",
                                        "/../escape",
                                        "/a//b",
                                        "/.hidden",
                                        "/a/.b",
                                        "/a/",
                                        "//",
                                        "/a/..",
                                        std::string("/a\0b", 4),
                                        "/" + std::string(300, 'p')};
  for (const std::string& key : bad) {
    std::string value;
    std::vector<std::string> names;
    orv::storage::NodeInfo info;
    ExpectError(sm::setKey(key, "x"), sm::kBadKey, "bad key", "set " + key);
    ExpectError(sm::getKey(key, value), sm::kBadKey, "bad key", "get " + key);
    ExpectError(sm::statKey(key, info), sm::kBadKey, "bad key", "stat " + key);
    ExpectError(sm::enumSubkeys(key, names), sm::kBadKey, "bad key", "list " + key);
    ExpectError(sm::deleteKey(key), sm::kBadKey, "bad key", "delete " + key);
  }
  ExpectError(sm::setKey("/a/../b", "x"), sm::kBadKey, "/a/../b", "names the key");
  EXPECT_EQ(Entries(parent), parent_before);
  EXPECT_TRUE(Entries(store.root()).empty());
}

TEST(StoreTest, KindsAreNotMixedUp) {
  TempStore store;
  store.Set("/n/x", "1");
  store.Set("/v", "value");
  std::string value;
  ExpectError(sm::setKey("/n", "over a node"), sm::kWrongKind, "/n", "value over node");
  ExpectError(sm::setKey("/v/x", "below a value"), sm::kWrongKind, "/v/x", "below value");
  ExpectError(sm::setKey("/v/x/y", "deeper"), sm::kWrongKind, "/v/x/y", "deeper below value");
  ExpectError(sm::setKey("/", "root"), sm::kWrongKind, "/", "root");
  ExpectError(sm::getKey("/n", value), sm::kWrongKind, "/n", "get a node");
  EXPECT_EQ(sm::getKeyValue("/n/x", 0), 1);
  EXPECT_EQ(sm::getKeyValue("/v", std::string()), "value");
  // The failed writes left no temporary files behind.
  EXPECT_EQ(Entries(store.root() + "/n"), std::vector<std::string>{"x"});
  EXPECT_EQ(Entries(store.root()), (std::vector<std::string>{"n", "v"}));
}

TEST(StoreTest, DeleteRemovesValuesAndWholeNodes) {
  TempStore store;
  store.Set("/d/keep", "1");
  store.Set("/d/value", "2");
  store.Set("/d/node/a/b", "3");
  store.Set("/d/node/c", "4");
  EXPECT_EQ(sm::deleteKey("/d/value"), 0);
  EXPECT_EQ(sm::deleteKey("/d/node"), 0);
  orv::storage::NodeInfo info;
  ExpectError(sm::statKey("/d/node/a/b", info), sm::kNotFound, "not found", "gone below");
  ExpectError(sm::deleteKey("/d/node"), sm::kNotFound, "key /d/node not found", "twice");
  std::vector<std::string> names;
  EXPECT_EQ(sm::enumSubkeys("/d", names), 1);
  EXPECT_EQ(names, std::vector<std::string>{"keep"});
  // Nothing of the deleted node lingers in the store's hidden corners.
  for (const std::string& hidden : Entries(store.root())) {
    if (hidden[0] == '.') {
      EXPECT_TRUE(Entries(store.root() + "/" + hidden).empty()) << hidden;
    }
  }
  ExpectError(sm::deleteKey("/"), sm::kBadKey, "root", "delete root");
  EXPECT_EQ(sm::getKeyValue("/d/keep", 0), 1);
}

TEST(StoreTest, ReadersSeeOldOrNewTextNeverAMix) {
  TempStore store;
  const std::string first(64 * 1024, 'a');
  const std::string second(96 * 1024, 'b');
  store.Set("/big", first);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) sm::setKey("/big", i % 2 ? first : second);
    done = true;
  });
  int reads = 0;
  while (!done || reads < 50) {
    std::string value;
    ASSERT_GE(sm::getKey("/big", value), 0) << orverrno.message();
    ASSERT_TRUE(value == first || value == second) << "mixed text of " << value.size() << " bytes";
    ++reads;
  }
  writer.join();
}

}  // namespace
