// Tests of the host settings store (a directory tree under a private root),
// of its change notifications (MonitoredKey), and of the text helpers beside
// them: the per-thread error record, the memory stream and the logger.
//
// The store never leaves its root: symbolic links planted in the tree (to a
// directory, to a file, a loop, a dangling one) are refused or removed
// themselves by every operation, also by the walk used where the kernel has
// no openat2, and a canary directory beside the root stays as it was.
//
// Faults: mkdirat and inotify_add_watch are interposed below (the
// executable's definitions come before libc's for the shared utility
// library), so that a test can make them fail as a full file system or a
// system out of inotify watches would.

#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orv/error.h"
#include "orv/memstream.h"
#include "orv/settings.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

std::atomic<bool> g_trash_fails{false};
std::atomic<int> g_watches_left{-1};  // below 0: no limit
std::atomic<int> g_watch_calls{0};

int NoSpace() {
  errno = ENOSPC;
  return -1;
}

}  // namespace

extern "C" int mkdirat(int dir_fd, const char* name, mode_t mode) __THROW {
  static const auto real = reinterpret_cast<decltype(&mkdirat)>(dlsym(RTLD_NEXT, "mkdirat"));
  if (g_trash_fails && name == std::string(".trash")) return NoSpace();
  return real(dir_fd, name, mode);
}

extern "C" int inotify_add_watch(int fd, const char* name, uint32_t mask) __THROW {
  static const auto real =
      reinterpret_cast<decltype(&inotify_add_watch)>(dlsym(RTLD_NEXT, "inotify_add_watch"));
  ++g_watch_calls;
  if (g_watches_left == 0) return NoSpace();
  if (g_watches_left > 0) --g_watches_left;
  return real(fd, name, mask);
}

namespace {

namespace fs = std::filesystem;
namespace sm = orv::setMgmt;
using ::testing::StartsWith;
using Texts = std::vector<std::string>;
using Names = std::set<std::string>;
using std::string_literals::operator""s;

// Tree names what is at or below `directory`, each file with its contents.
Names Tree(const std::string& directory) {
  Names files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    std::ostringstream text;
    if (entry.is_regular_file()) text << std::ifstream(entry.path()).rdbuf();
    files.insert(entry.path().lexically_relative(directory).string() + "=" + text.str());
  }
  return files;
}

Texts g_reported;  // what the watches report, in order

int Record(const orv::path& key) {
  g_reported.push_back(key.str());
  if (key.str() == "/w/bad") throw std::runtime_error("boom");
  if (key.str() == "/w/worse") throw 42;
  return 0;
}

// A fresh store, its log caught up to level 2, and a recursive watch of /w
// to set up.
class StoreTest : public ::testing::Test {
 protected:
  StoreTest() { Watch(watch_, "/w"); }
  static void Watch(sm::MonitoredKey& watch, const std::string& key) {
    watch.key.add_piece(true, key);
    watch.recursive = true;
    watch.callback = Record;
  }
  // Reported gives the keys reported for the changes pending, sorted. No
  // waiting: the kernel queues the events of a change before the call making
  // it returns.
  Texts Reported() {
    g_reported.clear();
    EXPECT_GE(watch_.read_notifications(), 0);
    std::sort(g_reported.begin(), g_reported.end());
    return g_reported;
  }
  TempStore store_;
  const std::string root_ = store_.root();
  LogCapture log_{2};
  sm::MonitoredKey watch_;
};

// The rest of what values, listings and failures promise is in
// vz_model_store_test; the watch's reports in vz_model_watch_test.
TEST_F(StoreTest, IntegersAreReadWholeElseTheFallback) {
  const std::pair<std::string, int> numbers[] = {{" -17\n", -17},    {"2147483647", 2147483647},
                                                 {"2147483648", -9}, {"12abc", -9},
                                                 {"", -9},           {"4\0"s, -9}};
  for (const auto& [text, expected] : numbers) {
    store_.Set("/i", text);
    EXPECT_EQ(sm::getKeyValue("/i", -9), expected) << "\"" << text << "\"";
  }
}

// Other bad keys are among the model's cases. The root can't be deleted, and
// the error record is the thread's own.
TEST_F(StoreTest, TheRootIsNoKeyToDeleteAndTheErrorRecordIsTheThreads) {
  EXPECT_THAT(Error(sm::deleteKey("/")), StartsWith("2 bad key \"/\""));
  std::string other;
  std::thread([&other] { other = Error(sm::deleteKey("x")); }).join();
  EXPECT_THAT(other, StartsWith("2 bad key \"x\""));
  EXPECT_THAT(Error(-1), StartsWith("2 bad key \"/\""));
}

TEST_F(StoreTest, LosingTheWatchIsSignalledOnceAndSaysWhy) {
  EXPECT_LT(watch_.get_fd(), 1) << "no node yet";
  store_.Set("/w/a", "1");
  ASSERT_GE(watch_.get_fd(), 1);
  store_.Delete("/w");
  EXPECT_EQ(Reported(), Texts{"/w"});
  store_.Set("/w/b", "1");
  EXPECT_LT(watch_.get_fd(), 1) << "lost, although the node is back";
  EXPECT_EQ(Error(-1), "4 lost the watch of " + root_ + "/w: the node was deleted or moved");
  ASSERT_GE(watch_.get_fd(), 1);
  // Cancelling is not a loss: the next get_fd sets up a new watch.
  EXPECT_EQ(watch_.cancel(), 0);
  ASSERT_GE(watch_.get_fd(), 1);
}

// <store>/root is the store, with links planted in it; <store>/canary must
// never change.
class LinksTest : public StoreTest {
 protected:
  void SetUp() override {
    fs::create_directories(canary_);
    std::ofstream(canary_ + "/secret") << "canary";
    ASSERT_EQ(sm::set_root(links_root_), 0);
    ASSERT_EQ(sm::setKey("/devices/d1/display_name", "TV"), 0);
    fs::create_directory_symlink("../../canary", links_root_ + "/devices/dir_link");
    fs::create_symlink(canary_ + "/secret", links_root_ + "/devices/d1/file_link");
    fs::create_symlink("loop", links_root_ + "/devices/loop");
    fs::create_symlink(canary_ + "/planted", links_root_ + "/devices/dangling");
  }
  void TearDown() override { EXPECT_EQ(Tree(canary_), Names{"secret=canary"}); }

  // Every operation on a link, or below one, refuses it and names it.
  void RefusesEveryLink() {
    for (const std::string link :
         {"/devices/dir_link", "/devices/d1/file_link", "/devices/loop", "/devices/dangling"}) {
      const std::string refused = "6 key " + link + " is a symbolic link";
      for (const std::string& key : {link, link + "/display_name", link + "/a/b"}) {
        std::string value;
        Texts names;
        orv::storage::NodeInfo info;
        sm::MonitoredKey watch;
        Watch(watch, key);
        // get_fd gives below 1 when it can't watch.
        EXPECT_EQ(Error(watch.get_fd() - 1), "6 cannot watch " + links_root_ + key + ": " +
                                                 links_root_ + link + " is a symbolic link");
        for (const std::string& error :
             {Error(sm::getKey(key, value)), Error(sm::setKey(key, "x")),
              Error(sm::enumSubkeys(key, names)), Error(sm::statKey(key, info)),
              key == link ? refused : Error(sm::deleteKey(key))}) {
          EXPECT_EQ(error, refused);
        }
      }
      EXPECT_TRUE(fs::is_symlink(links_root_ + link)) << link;
    }
    EXPECT_EQ(log_.Lines().size(), 4 * 3u) << "a watch logs why it can't be set up, once a reason";
  }

  const std::string canary_ = root_ + "/canary", links_root_ = root_ + "/root";
};

TEST_F(LinksTest, EveryOperationRefusesALinkAndNamesIt) { RefusesEveryLink(); }

// The same in a child process in which the openat2 system call fails with
// ENOSYS (as on an old kernel, or under a seccomp filter that doesn't know
// it), so that the store resolves keys by its own walk.
TEST_F(LinksTest, TheWalkWithoutOpenat2RefusesThemToo) {
#ifdef __NR_openat2
  const auto walk = [this] {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {sizeof(filter) / sizeof(filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(77);  // no seccomp filters here (qemu's user mode, for one)
    }
    if (syscall(__NR_openat2, AT_FDCWD, ".", nullptr, 0) != -1 || errno != ENOSYS) _exit(2);
    RefusesEveryLink();
    _exit(HasFailure() ? 1 : 0);
  };
  const pid_t child = fork();
  if (child == 0) walk();
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no seccomp filters here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
#else
  GTEST_SKIP() << "no openat2 here: every run walks";
#endif
}

// Also when the root itself is reached through a link.
TEST_F(LinksTest, ListingsAndWatchesLeaveLinksOutAndDeletingRemovesOnlyTheLink) {
  fs::create_directory_symlink(links_root_, root_ + "/root_link");
  ASSERT_EQ(sm::set_root(root_ + "/root_link"), 0);
  Texts names;
  ASSERT_EQ(sm::enumSubkeys("/devices", names), 1);
  ASSERT_EQ(sm::enumSubkeys("/devices/d1", names), 1);
  EXPECT_EQ(names, (Texts{"d1", "display_name"}));
  // Neither links there when the watch starts nor links made later are followed.
  watch_.key = orv::path().add_piece(true, "/devices");
  ASSERT_GE(watch_.get_fd(), 1);
  fs::create_directory_symlink("../../canary", links_root_ + "/devices/late");
  std::ofstream(canary_ + "/secret") << "behind the store's back";
  EXPECT_EQ(Reported(), Texts{});
  std::ofstream(canary_ + "/secret") << "canary";
  store_.Set("/devices/d1/display_name", "x");
  EXPECT_EQ(Reported(), Texts{"/devices/d1/display_name"});
  // One link deleted by its key: the link goes, its target stays; then the
  // rest with the node holding them.
  EXPECT_EQ(sm::deleteKey("/devices/dir_link"), 0);
  EXPECT_FALSE(fs::is_symlink(links_root_ + "/devices/dir_link"));
  EXPECT_EQ(sm::deleteKey("/devices"), 0);
  EXPECT_FALSE(fs::exists(links_root_ + "/devices"));
}

TEST_F(StoreTest, ANodeIsDeletedInPlaceWhenTheTrashCantBeMade) {
  store_.Set("/devices/d1/macs/m1", "i1");
  fs::create_directory(root_ + "/canary");
  fs::create_directory_symlink(root_ + "/canary", root_ + "/devices/d1/macs/up");
  g_trash_fails = true;
  EXPECT_EQ(Error(sm::deleteKey("/devices/d1")), "ok");
  g_trash_fails = false;
  EXPECT_EQ(Tree(root_), (Names{"canary=", "devices="})) << "something left, or the link followed";
  EXPECT_EQ(log_.Messages(),
            Texts{"2 settings: deleting /devices/d1 in place: no trash (No space left on device)"});
}

TEST_F(StoreTest, WritesRacingDeletionsOfTheirParentLand) {
  std::atomic<bool> done{false};
  std::thread deleter([&] {
    while (!done) sm::deleteKey("/n");
  });
  std::string failure;
  for (int i = 0; i < 500 && failure.empty(); ++i) {
    if (sm::setKey("/n/p/v", std::to_string(i)) != 0) failure = orverrno.message();
  }
  done = true;
  deleter.join();
  EXPECT_EQ(failure, "");
}

TEST_F(StoreTest, LeftoversOfKilledProcessesAreSwept) {
  // Plant makes `file` (a directory with a value when it ends in "/"), last
  // changed `age` seconds ago.
  const auto plant = [this](const std::string& file, int age) {
    fs::create_directories(fs::path(root_ + file).parent_path());
    std::ofstream(root_ + file + (file.back() == '/' ? "value" : "")) << "left";
    const timespec when[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
    utimensat(AT_FDCWD, (root_ + file).c_str(), when, AT_SYMLINK_NOFOLLOW);
  };
  for (const char* file : {"/.new-99999999-dead01", "/.new-1-alive1", "/.other"}) plant(file, 3600);
  plant("/.new-" + std::to_string(getpid()) + "-mine01", 3600);
  plant("/.new-99999999-young1", 60);
  // In a node, where values are written aside: swept when a key there is
  // written; in the trash: when a key goes.
  plant("/devices/d1/.new-OLDFMT", 3600);
  plant("/devices/d1/.new-99999999-young2", 60);
  store_.Set("/devices/d1/display_name", "one");
  EXPECT_EQ(Tree(root_), (Names{".new-1-alive1=left", ".new-99999999-young1=left", ".other=left",
                                "devices=", "devices/d1=", "devices/d1/.new-99999999-young2=left",
                                "devices/d1/display_name=one"}));
  plant("/.trash/99999999-dead02/", 3600);
  plant("/.trash/1-alive2/", 3600);
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Delete("/devices/d1/macs");
  EXPECT_EQ(Tree(root_ + "/.trash"), (Names{"1-alive2=", "1-alive2/value=left"}));
}

TEST_F(StoreTest, RunningOutOfWatchesLosesTheWatchUntilThereAreAgain) {
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d2/display_name", "two");
  watch_.key = orv::path().add_piece(true, "/devices");
  g_watches_left = 2;  // /devices, d1 (or d2), and no more
  EXPECT_LT(watch_.get_fd(), 1);
  const std::string reason = Error(-1);
  EXPECT_THAT(reason, StartsWith("3 cannot watch " + root_ + "/devices/d"));
  EXPECT_THAT(reason, ::testing::HasSubstr(": No space left on device (out of inotify watches"));
  // Asked again at once: no new attempt, no new line, the same reason.
  const int calls = g_watch_calls;
  orverrno.set(0, "");
  EXPECT_LT(watch_.get_fd(), 1);
  EXPECT_EQ(Error(-1) + std::to_string(g_watch_calls), reason + std::to_string(calls));
  // Watches to spare again: after the back-off the watch is set up.
  g_watches_left = -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_GE(watch_.get_fd(), 1);
  EXPECT_EQ(log_.Messages(), (Texts{"0 settings: " + reason.substr(2),
                                    "2 settings: watching " + root_ + "/devices again"}));
  // Running out while watching: a new node can't be watched, which loses the
  // watch (changes in it would go unreported), and backs off.
  g_watches_left = 0;
  store_.Set("/devices/d3/display_name", "three");
  watch_.read_notifications();
  EXPECT_LT(watch_.get_fd(), 1) << "lost";
  EXPECT_LT(watch_.get_fd(), 1) << "backing off";
  EXPECT_THAT(Error(-1), StartsWith("3 cannot watch " + root_ + "/devices/d3: No space left"));
  EXPECT_EQ(log_.Lines().size(), 3u);
  g_watches_left = -1;
}

TEST_F(StoreTest, ErrorsNameTheRootWhenTheRootIsTheProblem) {
  EXPECT_EQ(Error(sm::set_root("")), "2 bad settings root \"\": empty");
  EXPECT_EQ(sm::root(), root_);
  const std::string missing = root_ + "/nonexistent/root", file = root_ + "/file";
  ASSERT_EQ(sm::set_root(missing), 0);
  std::string value;
  const std::string why = "settings root " + missing + ": No such file or directory";
  EXPECT_EQ(Error(sm::getKey("/a", value)), "4 key /a not found: " + why);
  EXPECT_EQ(Error(sm::setKey("/a", "1")), "3 " + why);
  // A file where the root should be.
  std::ofstream(file) << "x";
  ASSERT_EQ(sm::set_root(file), 0);
  EXPECT_EQ(Error(sm::setKey("/a", "1")), "3 settings root " + file + ": Not a directory");
  EXPECT_EQ(Error(sm::getKey("/a", value)), "3 settings root " + file + ": Not a directory");
}

// A throwing callback is logged and the other changes still come; unless
// the watch was made with ORV_SETTINGS_UNGUARDED_CALLBACKS=1.
TEST_F(StoreTest, ThrowingCallbacksAreLoggedUnlessUnguarded) {
  setenv("ORV_SETTINGS_UNGUARDED_CALLBACKS", "1", 1);
  sm::MonitoredKey unguarded;
  unsetenv("ORV_SETTINGS_UNGUARDED_CALLBACKS");
  store_.Set("/w/a", "0");
  Watch(unguarded, "/w");
  ASSERT_GE(unguarded.get_fd(), 3);
  ASSERT_GE(watch_.get_fd(), 3);
  for (const char* key : {"/w/bad", "/w/worse", "/w/good"}) store_.Set(key, "1");
  EXPECT_THROW(unguarded.read_notifications(), std::runtime_error);
  EXPECT_EQ(Reported(), (Texts{"/w/bad", "/w/good", "/w/worse"}));
  EXPECT_EQ(log_.Messages(),
            (Texts{"0 notification callback for /w/bad threw: boom",
                   "0 notification callback for /w/worse threw: an exception of unknown type"}));
}

TEST(MemstreamTest, GrowsKeepingEveryByteAndTheTerminator) {
  for (const std::size_t capacity : {0, 1, 64}) {
    orv::basic_memstream out(capacity);
    out.write("a\0b", 3);
    out << std::string(5000, 'z') << -42;
    const orv::basic_string_view<char> view = out.view();
    EXPECT_EQ(std::string(view.data(), view.size() + 1),
              "a\0b"s + std::string(5000, 'z') + "-42" + '\0');
  }
}

TEST(LogTest, JsonLinesAboveTheLevelAreLeftOutAndNoValueIsNull) {
  json_t* value = json_pack("[i]", 1);
  {
    LogCapture log(3);
    orv::log_json(orv::log::kDebug, "hidden", value);
    orv::log_json(orv::log::kNotice, "none", nullptr);
    orv::log_json(orv::log::kInfo, "state", value);
    EXPECT_EQ(log.Messages(), (Texts{"2 none null", "3 state [1]"}));
  }
  EXPECT_EQ(value->refcount, 1u);
  json_decref(value);
}

}  // namespace
