// Owners for the descriptors and directory streams the store opens, so that
// every early return closes them.

#ifndef ORV_VIRAZEZAZOR_SRC_UNIQUE_FD_H_
#define ORV_VIRAZEZAZOR_SRC_UNIQUE_FD_H_

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace orv {
namespace setMgmt {
namespace internal {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // reset closes the descriptor held and takes `fd`. A close error is lost:
  // callers that care close explicitly through Close.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Close closes the descriptor and returns close's result.
  int Close() { return ::close(release()); }

 private:
  int fd_ = -1;
};

// KeepAbove2 returns `fd` moved to 3 or above when it is 0, 1 or 2 (the
// standard streams' numbers, which a descriptor the store keeps must not
// take from a process that closed them), closing the original. -1 stays -1;
// a failed move returns -1 with errno set.
inline int KeepAbove2(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int err = errno;
  ::close(fd);
  errno = err;
  return moved;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_UNIQUE_FD_H_
