// Tests of what the store's writes promise beyond one tree on one file
// system: values and deletions that survive a power cut (an ext4 image on a
// loop device, shut down without flushing its journal), a subtree on a file
// system of its own, batches that land whole or not at all on a full disk,
// and deep trees removed with few descriptors. Mounting needs root, loop
// devices and mkfs.ext4 (scripts/setup.sh installs it): where they are
// missing, a test skips saying why.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orv/error.h"
#include "orv/settings.h"
#include "support/temp_store.h"

namespace {

namespace fs = std::filesystem;
namespace sm = orv::setMgmt;

// ext4's shutdown request (linux/ext4.h is not installed) and its flag that
// drops whatever the journal holds uncommitted, as a power cut would.
constexpr unsigned long kExt4Shutdown = _IOR('X', 125, std::uint32_t);
constexpr std::uint32_t kNoLogFlush = 2;

std::string Get(const std::string& key) {
  std::string value;
  return sm::getKey(key, value) < 0 ? "(" + Error(-1) + ")" : value;
}

// Tree names every file at or below `dir`, hidden ones too, with its size.
std::set<std::string> Tree(const std::string& dir) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    files.insert(entry.path().string() + "=" +
                 std::to_string(entry.is_regular_file() ? entry.file_size() : 0));
  }
  return files;
}

bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Mounted mounts `source` (with mount's options) at `dir` while it lives;
// why_not says why it couldn't.
class Mounted {
 public:
  Mounted(std::string source, std::string dir) : source_(std::move(source)), dir_(std::move(dir)) {
    fs::create_directories(dir_);
    why_not = geteuid() != 0 ? "mounting needs root" : Mount() ? "" : "can't mount " + source_;
  }
  ~Mounted() {
    sm::set_root(dir_ + "-elsewhere");  // lets go of a root's descriptor inside
    EXPECT_TRUE(!why_not.empty() || Shell("umount " + dir_)) << dir_;
  }
  bool Mount() { return Shell("mount " + source_ + " " + dir_); }

  // Cut shuts the file system down as a power cut would, runs `stop` (to
  // join what still writes), and mounts the disk again: what is there is
  // what the disk got. Returns why it couldn't, or "".
  std::string Cut(const std::function<void()>& stop) {
    const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat disk, host;
    std::uint32_t flags = kNoLogFlush;
    // Never the file system the tests run on: only the image mounted here.
    const bool cut = ::fstat(fd, &disk) == 0 && ::stat((dir_ + "/..").c_str(), &host) == 0 &&
                     disk.st_dev != host.st_dev && ::ioctl(fd, kExt4Shutdown, &flags) == 0;
    const std::string why = std::string("can't shut ext4 down here: ") + strerror(errno);
    ::close(fd);
    stop();
    if (!cut) return why;
    sm::set_root(dir_ + "-elsewhere");  // lets go of the root's descriptor
    EXPECT_TRUE(Shell("umount " + dir_) && Mount());
    sm::set_root(dir_ + "/store");
    return "";
  }
  std::string source_, dir_, why_not;  // why it couldn't mount
};

// Text is the value of round `r`: its length changes every round, so a
// value cut short or empty reads as no round's text.
std::string Text(int r) { return std::to_string(r) + ":" + std::string(r * 97 % 9000, 'x'); }

// Key is the key of value `k` of three nodes.
std::string Key(int k) { return "/d" + std::to_string(k % 3) + "/v" + std::to_string(k); }

// Sets and deletes that returned 0 are there after a cut, also the writes of
// a writer cut off mid-write, whose values are the old text or the new.
// On a fresh ext4 image whose journal commits only when asked (commit=60),
// what a cut keeps is what the store synced.
TEST(DurableTest, WhatReturnedSurvivesACutAndNoValueIsLeftHalfWritten) {
  TempStore store;
  const std::string image = store.root() + "/image";
  if (!Shell("truncate -s 64M " + image + " && mkfs.ext4 -q -F " + image)) {
    GTEST_SKIP() << "mkfs.ext4 is missing";
  }
  Mounted disk("-o loop,commit=60 " + image, store.root() + "/disk");
  if (!disk.why_not.empty()) GTEST_SKIP() << disk.why_not << " (no loop devices?)";
  sm::set_root(store.root() + "/disk/store");
  constexpr int kKeys = 6;
  std::vector<std::atomic<int>> acknowledged(kKeys);
  for (int k = 0; k < kKeys; ++k) ASSERT_EQ(Error(sm::setKey(Key(k), Text(0))), "ok");
  ASSERT_EQ(Error(sm::setKey("/gone/v", "1")), "ok");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = kKeys; !stop && sm::setKey(Key(i % kKeys), Text(i / kKeys)) == 0; ++i) {
      acknowledged[i % kKeys] = i / kKeys;
    }
    stop = true;  // also when a write failed before the cut
  });
  while (acknowledged[kKeys - 1] < 20 && !stop) std::this_thread::yield();
  const std::string why_not = disk.Cut([&] {
    stop = true;
    writer.join();
  });
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  // A change alone since the last cut: only its own syncs keep it.
  ASSERT_EQ(Error(sm::deleteKey("/gone")), "ok");
  ASSERT_EQ(disk.Cut([] {}), "");
  ASSERT_EQ(Error(sm::setKey("/new/node/v", "2")), "ok");
  ASSERT_EQ(disk.Cut([] {}), "");
  EXPECT_EQ(Get("/gone/v"), "(4 key /gone/v not found)");
  EXPECT_EQ(Get("/new/node/v"), "2");
  for (int k = 0; k < kKeys; ++k) {
    const std::string value = Get(Key(k));
    const int round = std::atoi(value.c_str());
    EXPECT_EQ(value, Text(round)) << "key " << k;
    EXPECT_GE(round, acknowledged[k]) << "key " << k << ": a write that returned 0 was lost";
  }
}

// /devices on a small tmpfs of its own: written, deleted through a trash on
// that file system (the mount point itself refused), and a batch that
// fills it leaves the tree as it was.
TEST(MountsTest, ANodeOnItsOwnFileSystemIsWrittenDeletedAndFilledWhole) {
  TempStore store;
  const Mounted devices("-t tmpfs -o size=64k tmpfs", store.root() + "/devices");
  if (!devices.why_not.empty()) GTEST_SKIP() << devices.why_not;
  EXPECT_EQ(Error(sm::setKey("/devices/d1/macs/m1", "10.0.0.1")), "ok");
  EXPECT_EQ(Error(sm::setKey("/devices/d2/display_name", "TV")), "ok");
  EXPECT_EQ(Error(sm::deleteKey("/devices")), "3 delete key /devices: Device or resource busy");
  EXPECT_EQ(Error(sm::deleteKey("/devices/d1")), "ok");
  EXPECT_TRUE(fs::is_empty(store.root() + "/devices/.trash"));
  const std::set<std::string> before = Tree(store.root());
  std::vector<std::pair<std::string, std::string>> values;
  for (int i = 0; i < 60; ++i) {
    values.emplace_back("/devices/d" + std::to_string(i) + "/display_name", std::string(4000, 'x'));
  }
  EXPECT_THAT(Error(sm::setKeys(values)), ::testing::EndsWith(": No space left on device"));
  EXPECT_EQ(Tree(store.root()), before);
  values = {{"/devices/d9/macs/m9", "10.0.0.9"}, {"/devices/d2", "v"}};
  EXPECT_EQ(Error(sm::setKeys(values)), "5 key /devices/d2: is a node, not a value");
  EXPECT_EQ(Tree(store.root()), before);
  values.pop_back();
  EXPECT_EQ(Error(sm::setKeys(values)), "ok");
  EXPECT_EQ(Get("/devices/d9/macs/m9"), "10.0.0.9");
}

// A node 300 levels deep goes, and so does a leftover as deep in the trash,
// with 64 descriptors (a descriptor a level would need 300).
TEST(DeepTreesTest, AreRemovedWithFewDescriptors) {
  TempStore store;
  std::string levels;
  for (int i = 0; i < 298; ++i) levels += "/a";
  // Made by hand: hundreds of synced node creations would take seconds on a disk.
  for (const std::string top : {"/deep", "/stale"}) {
    fs::create_directories(store.root() + top + levels);
    std::ofstream(store.root() + top + levels + "/v") << "1";
  }
  ASSERT_EQ(Get("/deep" + levels + "/v"), "1");
  fs::create_directory(store.root() + "/.trash");
  fs::rename(store.root() + "/stale", store.root() + "/.trash/0-dead01");
  const timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  ::utimensat(AT_FDCWD, (store.root() + "/.trash/0-dead01").c_str(), old, 0);
  rlimit saved;
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit few = {64, saved.rlim_max};
  ::setrlimit(RLIMIT_NOFILE, &few);
  const std::string deleted = Error(sm::deleteKey("/deep"));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(deleted, "ok");
  EXPECT_TRUE(fs::is_empty(store.root() + "/.trash")) << "something left in the trash";
}

}  // namespace
