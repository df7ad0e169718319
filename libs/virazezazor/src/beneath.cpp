#include "beneath.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "unique_fd.h"

#if defined(SYS_openat2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define ORV_HAVE_OPENAT2 1
#endif

namespace orv {
namespace setMgmt {
namespace internal {

namespace {

// Below the root, relative to it: "a/b" for "/a/b", "." for "/".
std::string Relative(const std::string& key) { return key.size() <= 1 ? "." : key.substr(1); }

#ifdef ORV_HAVE_OPENAT2
// Set once openat2 turned out missing (an old kernel, or a seccomp filter).
std::atomic<bool> g_no_openat2{false};

// OpenAt2 resolves in one call; returns -2 when openat2 can't be used.
int OpenAt2(int root_fd, const std::string& relative, int flags) {
  if (g_no_openat2.load(std::memory_order_relaxed)) return -2;
  open_how how = {};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  while (true) {
    const long fd = ::syscall(SYS_openat2, root_fd, relative.c_str(), &how, sizeof(how));
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EINTR) continue;
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG || errno == EINVAL) {
      g_no_openat2.store(true, std::memory_order_relaxed);
      return -2;
    }
    if (errno == EAGAIN) return -2;  // a concurrent rename: walk instead
    return -1;
  }
}
#endif

// Walk opens `relative` one piece at a time, each directory opened without
// following a link.
int Walk(int root_fd, const std::string& relative, int flags) {
  UniqueFd held;
  int dir = root_fd;
  std::string::size_type start = 0;
  while (true) {
    const std::string::size_type slash = relative.find('/', start);
    const std::string piece = relative.substr(start, slash - start);
    if (slash == std::string::npos) return ::openat(dir, piece.c_str(), flags);
    const int next = ::openat(dir, piece.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return -1;
    held.reset(next);
    dir = next;
    start = slash + 1;
  }
}

}  // namespace

int OpenBeneath(int root_fd, const std::string& key, int flags) {
  flags |= O_NOFOLLOW | O_CLOEXEC;
  const std::string relative = Relative(key);
#ifdef ORV_HAVE_OPENAT2
  const int fd = OpenAt2(root_fd, relative, flags);
  if (fd != -2) return fd;
#endif
  return Walk(root_fd, relative, flags);
}

Diagnosis Diagnose(int root_fd, const std::string& key) {
  Diagnosis found;
  if (key.size() <= 1) return found;
  UniqueFd held;
  int dir = root_fd;
  std::string::size_type start = 1;
  while (true) {
    const std::string::size_type slash = key.find('/', start);
    const std::string piece = key.substr(start, slash - start);
    found.at = key.substr(0, slash);
    struct stat info;
    if (::fstatat(dir, piece.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      found.fault = errno == ENOENT ? Fault::kMissing : Fault::kNone;
      return found;
    }
    if (S_ISLNK(info.st_mode)) {
      found.fault = Fault::kLink;
      return found;
    }
    if (slash == std::string::npos) break;
    if (!S_ISDIR(info.st_mode)) {
      found.fault = Fault::kValue;
      return found;
    }
    const int next = ::openat(dir, piece.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) break;  // changed meanwhile: no answer
    held.reset(next);
    dir = next;
    start = slash + 1;
  }
  found.fault = Fault::kNone;
  found.at.clear();
  return found;
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
