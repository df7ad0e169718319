// The store under resource faults: an empty root, a file system too full
// for the trash, oversized values, writes racing deletions, leftovers of
// killed processes, values where nodes should be.
//
// mkdirat is interposed below (the executable's definition comes before
// libc's for the shared utility library), so that a test can make it fail as
// a full file system would.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orv/error.h"
#include "orv/path.h"
#include "orv/settings.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

std::atomic<bool> g_trash_fails{false};

}  // namespace

extern "C" int mkdirat(int dir_fd, const char* name, mode_t mode) __THROW {
  using Real = int (*)(int, const char*, mode_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "mkdirat"));
  if (g_trash_fails && std::strcmp(name, ".trash") == 0) {
    errno = ENOSPC;
    return -1;
  }
  return real(dir_fd, name, mode);
}

namespace {

namespace fs = std::filesystem;
namespace sm = orv::setMgmt;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Texts = std::vector<std::string>;

std::string Error(int result) {
  return result < 0 ? std::to_string(orverrno.code()) + " " + orverrno.message() : "ok";
}

Texts Entries(const std::string& directory) {
  Texts names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(StoreFaultsTest, AnEmptyRootIsRefused) {
  TempStore store;
  EXPECT_EQ(Error(sm::set_root("")), "2 bad settings root \"\": empty");
  EXPECT_EQ(sm::root(), store.root());
  store.Set("/a", "1");
  EXPECT_TRUE(fs::exists(store.root() + "/a"));
}

TEST(StoreFaultsTest, ANodeIsDeletedInPlaceWhenTheTrashCantBeMade) {
  TempStore store;
  store.Set("/devices/d1/display_name", "one");
  store.Set("/devices/d1/macs/m1", "i1");
  const std::string canary = store.root() + "-canary";
  fs::create_directory(canary);
  std::ofstream(canary + "/keep") << "kept";
  fs::create_directory_symlink(canary, store.root() + "/devices/d1/macs/up");
  LogCapture log(2);
  g_trash_fails = true;
  const int result = sm::deleteKey("/devices/d1");
  g_trash_fails = false;
  EXPECT_EQ(Error(result), "ok");
  EXPECT_EQ(Entries(store.root()), Texts{"devices"});
  EXPECT_EQ(Entries(store.root() + "/devices"), Texts{});
  EXPECT_TRUE(log.Contains(2, "settings: deleting /devices/d1 in place"));
  EXPECT_EQ(Entries(canary), Texts{"keep"}) << "the link was followed";
  fs::remove_all(canary);
}

TEST(StoreFaultsTest, ValuesAreCappedAtOneMebibyte) {
  TempStore store;
  const std::string largest(sm::kMaxValueSize, 'x');
  store.Set("/big", largest);
  std::string value;
  EXPECT_EQ(sm::getKey("/big", value), static_cast<int>(sm::kMaxValueSize));
  const std::string refused = "7 value of /big is larger than 1048576 bytes";
  EXPECT_EQ(Error(sm::setKey("/big", largest + "y")), refused);
  EXPECT_EQ(sm::getKeyValue("/big", std::string()), largest) << "the old value stays";
  std::ofstream(store.root() + "/big", std::ios::app) << "y";  // behind the store's back
  value = "untouched";
  EXPECT_EQ(Error(sm::getKey("/big", value)), refused);
  EXPECT_EQ(value, "untouched");
  EXPECT_EQ(sm::getKeyValue("/big", std::string("fallback")), "fallback");
  orv::storage::NodeInfo info;
  ASSERT_EQ(sm::statKey("/big", info), 0);
  EXPECT_EQ(info.size, static_cast<std::int64_t>(sm::kMaxValueSize) + 1);
}

TEST(StoreFaultsTest, WritesRacingDeletionsOfTheirParentLand) {
  TempStore store;
  LogCapture log(0);  // an uncleared trash slot is logged; not a failure
  std::atomic<bool> done{false};
  std::thread deleter([&] {
    while (!done) sm::deleteKey("/n");
  });
  int failures = 0;
  std::string last_failure;
  for (int i = 0; i < 2000; ++i) {
    if (sm::setKey("/n/p/v", std::to_string(i)) != 0) {
      ++failures;
      last_failure = orverrno.message();
    }
  }
  done = true;
  deleter.join();
  EXPECT_EQ(failures, 0) << last_failure;
}

// Plant makes `file` with `text`, last changed `age_seconds` ago.
void Plant(const std::string& file, const std::string& text, int age_seconds) {
  std::ofstream(file) << text;
  const timespec when[2] = {{time(nullptr) - age_seconds, 0}, {time(nullptr) - age_seconds, 0}};
  utimensat(AT_FDCWD, file.c_str(), when, AT_SYMLINK_NOFOLLOW);
}

void PlantDirectory(const std::string& directory, int age_seconds) {
  fs::create_directories(directory);
  Plant(directory + "/value", "left", age_seconds);
  const timespec when[2] = {{time(nullptr) - age_seconds, 0}, {time(nullptr) - age_seconds, 0}};
  utimensat(AT_FDCWD, directory.c_str(), when, 0);
}

TEST(StoreFaultsTest, LeftoversOfKilledProcessesAreSwept) {
  TempStore store;
  const std::string& root = store.root();
  const std::string me = std::to_string(getpid());
  const int hour = 3600;
  Plant(root + "/.new-99999999-dead01", "killed writer", hour);
  Plant(root + "/.new-" + me + "-mine01", "my own, long gone", hour);
  Plant(root + "/.new-1-alive1", "pid 1 still runs", hour);
  Plant(root + "/.new-99999999-young1", "too young to tell", 60);
  Plant(root + "/.other", "not the store's", hour);
  store.Set("/devices/d1/display_name", "one");
  EXPECT_EQ(Entries(root), (Texts{".new-1-alive1", ".new-99999999-young1", ".other", "devices"}));

  // In a node, as older versions left them: swept when a key there goes.
  const std::string dir = root + "/devices/d1";
  Plant(dir + "/.new-OLDFMT", "older format", hour);
  Plant(dir + "/.new-99999999-young2", "too young to tell", 60);
  PlantDirectory(root + "/.trash/99999999-dead02", hour);
  PlantDirectory(root + "/.trash/1-alive2", hour);
  store.Set("/devices/d1/macs/m1", "i1");
  store.Delete("/devices/d1/macs");
  EXPECT_EQ(Entries(dir), (Texts{".new-99999999-young2", "display_name"}));
  EXPECT_EQ(Entries(root + "/.trash"), Texts{"1-alive2"});
  Texts names;
  EXPECT_EQ(sm::enumSubkeys("/devices/d1", names), 1);
}

TEST(StoreFaultsTest, AValueWhereANodeShouldBeIsNotFound) {
  TempStore store;
  store.Set("/v", "value");
  std::string value;
  Texts names;
  orv::storage::NodeInfo info;
  EXPECT_EQ(Error(sm::getKey("/v/x", value)), "4 key /v/x not found");
  EXPECT_EQ(Error(sm::statKey("/v/x/y", info)), "4 key /v/x/y not found");
  EXPECT_EQ(Error(sm::enumSubkeys("/v/x", names)), "4 key /v/x not found");
  EXPECT_EQ(Error(sm::deleteKey("/v/x")), "4 key /v/x not found");
  EXPECT_THAT(Error(sm::setKey("/v/x", "1")), StartsWith("5 key /v/x"));
}

}  // namespace
