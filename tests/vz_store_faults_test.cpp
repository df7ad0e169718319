// The store under resource faults: an empty root, no inotify watches left,
// the standard descriptors closed, a file system too full for the trash,
// oversized values, writes racing deletions, leftovers of killed processes,
// values where nodes should be, a missing root; and the test hook that lets
// a callback's exception through.
//
// inotify_add_watch and mkdirat are interposed below (the executable's
// definitions come before libc's for the shared utility library), so that a
// test can make them fail as a full system would.

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

std::atomic<int> g_watches_left{-1};  // below 0: no limit
std::atomic<int> g_watch_calls{0};
std::atomic<bool> g_trash_fails{false};

}  // namespace

extern "C" int inotify_add_watch(int fd, const char* name, uint32_t mask) __THROW {
  using Real = int (*)(int, const char*, uint32_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "inotify_add_watch"));
  ++g_watch_calls;
  int left = g_watches_left.load();
  while (left >= 0) {
    if (left == 0) {
      errno = ENOSPC;
      return -1;
    }
    if (g_watches_left.compare_exchange_weak(left, left - 1)) break;
  }
  return real(fd, name, mask);
}

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

void Watch(sm::MonitoredKey& watch, const char* key) {
  watch.key.add_piece(true, key);
  watch.recursive = true;
}

// Levels and texts of the lines caught.
Texts Logged(const LogCapture& log) {
  Texts lines;
  for (const LogLine& line : log.Lines())
    lines.push_back(std::to_string(line.level) + " " + line.text);
  return lines;
}

TEST(StoreFaultsTest, AnEmptyRootIsRefused) {
  TempStore store;
  EXPECT_EQ(Error(sm::set_root("")), "2 bad settings root \"\": empty");
  EXPECT_EQ(sm::root(), store.root());
  store.Set("/a", "1");
  EXPECT_TRUE(fs::exists(store.root() + "/a"));
}

TEST(StoreFaultsTest, RunningOutOfWatchesLosesTheWatchUntilThereAreAgain) {
  TempStore store;
  store.Set("/devices/d1/macs/m1", "i1");
  store.Set("/devices/d2/display_name", "two");
  LogCapture log(2);
  sm::MonitoredKey watch;
  Watch(watch, "/devices");
  g_watches_left = 2;  // /devices, d1 (or d2), and no more
  EXPECT_LT(watch.get_fd(), 1);
  EXPECT_EQ(orverrno.code(), sm::kIoError);
  EXPECT_THAT(orverrno.message(), StartsWith("cannot watch " + store.root() + "/devices/"));
  EXPECT_THAT(orverrno.message(), HasSubstr(": No space left on device (out of inotify watches"));
  // Asked again at once: no new attempt, no new line, the same reason.
  const int calls = g_watch_calls;
  const std::string reason = orverrno.message();
  orverrno.set(0, "");
  EXPECT_LT(watch.get_fd(), 1);
  EXPECT_EQ(orverrno.message(), reason);
  EXPECT_EQ(g_watch_calls, calls);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(Logged(log)[0], "0 settings: " + reason);

  // Watches to spare again: after the back-off the watch is set up.
  g_watches_left = -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_GE(watch.get_fd(), 1);
  EXPECT_EQ(Logged(log).back(), "2 settings: watching " + store.root() + "/devices again");

  // Running out while watching: a new node can't be watched, which loses the
  // watch (changes in it would go unreported).
  g_watches_left = 0;
  store.Set("/devices/d3/display_name", "three");
  watch.read_notifications();
  EXPECT_LT(watch.get_fd(), 1) << "lost";
  EXPECT_LT(watch.get_fd(), 1) << "backing off";
  EXPECT_THAT(orverrno.message(),
              StartsWith("cannot watch " + store.root() + "/devices/d3: No space left"));
  EXPECT_EQ(log.Lines().size(), 3u);
  g_watches_left = -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_GE(watch.get_fd(), 1);
}

TEST(StoreFaultsTest, KeptDescriptorsAreNeverTheStandardOnes) {
  TempStore store;
  store.Set("/w/a", "1");
  const int saved_stdin = dup(0);
  ASSERT_GE(saved_stdin, 0);
  close(0);
  ASSERT_EQ(sm::set_root(store.root()), 0);  // forgets the kept root directory
  std::string value;
  EXPECT_EQ(sm::getKey("/w/a", value), 1);
  sm::MonitoredKey watch;
  Watch(watch, "/w");
  const int fd = watch.get_fd();
  const bool zero_free = fcntl(0, F_GETFD) == -1;
  watch.cancel();
  dup2(saved_stdin, 0);
  close(saved_stdin);
  EXPECT_GE(fd, 3);
  EXPECT_TRUE(zero_free) << "the store kept descriptor 0";
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

TEST(StoreFaultsTest, ErrorsNameTheRootWhenTheRootIsTheProblem) {
  TempStore store;
  LogCapture log(2);
  const std::string missing = store.root() + "/nonexistent/root";
  ASSERT_EQ(sm::set_root(missing), 0);
  std::string value;
  orv::storage::NodeInfo info;
  const std::string why = "settings root " + missing + ": No such file or directory";
  EXPECT_EQ(Error(sm::getKey("/a", value)), "4 key /a not found: " + why);
  EXPECT_EQ(Error(sm::statKey("/a", info)), "4 key /a not found: " + why);
  EXPECT_EQ(Error(sm::setKey("/a", "1")), "3 " + why);
  sm::MonitoredKey watch;
  Watch(watch, "/devices");
  for (int i = 0; i < 3; ++i) {
    EXPECT_LT(watch.get_fd(), 1);
    EXPECT_EQ(Error(-1), "4 cannot watch " + missing + "/devices: No such file or directory");
  }
  EXPECT_EQ(Logged(log),
            Texts{"0 settings: cannot watch " + missing + "/devices: No such file or directory"});
  // Made: the store and the watch work, and the log says so once.
  fs::create_directories(missing + "/devices");
  EXPECT_GE(watch.get_fd(), 1);
  EXPECT_EQ(log.Lines().size(), 2u);
  EXPECT_EQ(Logged(log).back(), "2 settings: watching " + missing + "/devices again");
  // A file where the root should be.
  const std::string file = store.root() + "/file";
  std::ofstream(file) << "x";
  ASSERT_EQ(sm::set_root(file), 0);
  EXPECT_EQ(Error(sm::setKey("/a", "1")), "3 settings root " + file + ": Not a directory");
  EXPECT_EQ(Error(sm::getKey("/a", value)), "3 settings root " + file + ": Not a directory");
}

int Throw(const orv::path& key) { throw std::runtime_error("from " + key.str()); }

TEST(StoreFaultsTest, UnguardedCallbacksLetExceptionsThrough) {
  TempStore store;
  store.Set("/w/a", "0");
  LogCapture log(0);
  setenv("ORV_SETTINGS_UNGUARDED_CALLBACKS", "1", 1);
  sm::MonitoredKey unguarded;
  unsetenv("ORV_SETTINGS_UNGUARDED_CALLBACKS");
  sm::MonitoredKey guarded;
  for (sm::MonitoredKey* watch : {&unguarded, &guarded}) {
    Watch(*watch, "/w");
    watch->callback = Throw;
    ASSERT_GE(watch->get_fd(), 1);
  }
  store.Set("/w/a", "1");
  EXPECT_THROW(unguarded.read_notifications(), std::runtime_error);
  EXPECT_EQ(log.Lines().size(), 0u);
  EXPECT_EQ(guarded.read_notifications(), 1);
  EXPECT_TRUE(log.Contains(0, "notification callback for /w/a threw: from /w/a"));
}

TEST(StoreFaultsTest, ALostWatchSaysWhy) {
  TempStore store;
  store.Set("/w/a", "0");
  sm::MonitoredKey watch;
  Watch(watch, "/w");
  ASSERT_GE(watch.get_fd(), 1);
  store.Delete("/w");
  watch.read_notifications();
  EXPECT_LT(watch.get_fd(), 1);
  EXPECT_EQ(Error(-1), "4 lost the watch of " + store.root() + "/w: the node was deleted or moved");
}

}  // namespace
