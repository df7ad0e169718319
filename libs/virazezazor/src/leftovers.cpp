#include "leftovers.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <tuple>
#include <vector>

#include "remove_tree.h"
#include "unique_fd.h"

namespace orv {
namespace setMgmt {
namespace internal {

namespace {

constexpr auto kSweepEvery = std::chrono::seconds(60);
constexpr std::size_t kRememberedDirectories = 4096;

// A directory as the sweep clock knows it: the birth time keeps a new
// directory that reuses a gone one's inode number apart from it.
using DirectoryId = std::tuple<std::uint64_t, std::uint64_t, std::int64_t, std::uint32_t>;

struct SweepClock {
  std::mutex mutex;
  std::map<DirectoryId, std::chrono::steady_clock::time_point> last;  // guarded by mutex
};

SweepClock& TheClock() {
  static SweepClock* const clock = new SweepClock;  // never destroyed
  return *clock;
}

// Due is true when `dir_fd` was not swept by this process within a minute,
// and then counts it as swept now.
bool Due(int dir_fd) {
  struct statx info;
  if (::statx(dir_fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &info) != 0) return false;
  const DirectoryId id((static_cast<std::uint64_t>(info.stx_dev_major) << 32) | info.stx_dev_minor,
                       info.stx_ino, (info.stx_mask & STATX_BTIME) ? info.stx_btime.tv_sec : 0,
                       (info.stx_mask & STATX_BTIME) ? info.stx_btime.tv_nsec : 0);
  const auto now = std::chrono::steady_clock::now();
  SweepClock& clock = TheClock();
  std::lock_guard<std::mutex> hold(clock.mutex);
  const auto found = clock.last.find(id);
  if (found != clock.last.end() && now - found->second < kSweepEvery) return false;
  if (clock.last.size() >= kRememberedDirectories) clock.last.clear();
  clock.last[id] = now;
  return true;
}

// OwnerAlive is true when `name` (after its prefix) names a process other
// than this one that still runs. This process's own leftovers are never
// older than one store call.
bool OwnerAlive(const std::string& name, std::size_t prefix) {
  long pid = 0;
  std::size_t at = prefix;
  while (at < name.size() && name[at] >= '0' && name[at] <= '9' && pid < 1000000000) {
    pid = pid * 10 + (name[at++] - '0');
  }
  if (at == prefix || at >= name.size() || name[at] != '-' || pid <= 0) return false;
  if (pid == static_cast<long>(::getpid())) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool Stale(int dir_fd, const std::string& name, std::size_t prefix) {
  struct stat info;
  if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (::time(nullptr) - info.st_mtime < kStaleAfterSeconds) return false;
  return !OwnerAlive(name, prefix);
}

std::vector<std::string> Names(int dir_fd, Leftovers kind) {
  std::vector<std::string> names;
  const int list_fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (list_fd < 0) return names;
  const UniqueDir dir(::fdopendir(list_fd));
  if (!dir) {
    ::close(list_fd);
    return names;
  }
  const std::string prefix = kind == Leftovers::kTemps ? kTempPrefix : "";
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name.compare(0, prefix.size(), prefix) != 0) continue;
    names.push_back(name);
  }
  return names;
}

}  // namespace

std::string UniqueName(const char* prefix) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::minstd_rand random(static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid()));
  std::string name = prefix + std::to_string(::getpid()) + "-";
  for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof(kLetters) - 1)];
  return name;
}

void SweepLeftovers(int dir_fd, Leftovers kind) {
  if (!Due(dir_fd)) return;
  const std::size_t prefix = kind == Leftovers::kTemps ? sizeof(kTempPrefix) - 1 : 0;
  for (const std::string& name : Names(dir_fd, kind)) {
    if (!Stale(dir_fd, name, prefix)) continue;
    if (kind == Leftovers::kTemps) {
      ::unlinkat(dir_fd, name.c_str(), 0);  // a directory of that name is not ours
    } else {
      RemoveTree(dir_fd, name);
    }
  }
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
