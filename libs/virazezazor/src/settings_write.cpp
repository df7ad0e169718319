// The store's changing operations.
//
// A value is replaced by renaming a finished hidden file over it, so readers
// in any process see the old text or the new one. Nothing is fsynced: the
// promise is atomicity towards readers, not durability across a power cut.
// Every file is reached from the root's descriptor without following links
// (beneath.h), and every rename is made relative to the directories' own
// descriptors.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "beneath.h"
#include "key_files.h"
#include "leftovers.h"
#include "orv/log.h"
#include "orv/settings.h"
#include "unique_fd.h"

namespace orv {
namespace setMgmt {

namespace {

using internal::CheckKey;
using internal::Leftovers;
using internal::OpenBeneath;
using internal::OpenRoot;
using internal::RecordFileError;
using internal::RecordIoError;
using internal::RecordWrongKind;
using internal::RemoveTreeAt;
using internal::SweepLeftovers;
using internal::UniqueFd;
using internal::UniqueName;

// How often a write makes its parent nodes again when a concurrent deletion
// takes them away under it.
constexpr int kWriteAttempts = 16;

// Pause waits a little before another attempt, longer and at random after
// each, so that a writer and a deleter running in step fall out of it.
void Pause(int attempt) {
  if (attempt == 0) return;
  thread_local std::minstd_rand random(
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const unsigned most = 20u << std::min(attempt, 8);  // up to 40 us, ..., 5 ms
  std::this_thread::sleep_for(std::chrono::microseconds(random() % most));
}

constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A value's text is written to a hidden file in the root directory, which no
// deletion takes away, and then renamed into the value's directory; the file
// is removed again unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(int dir_fd) : dir_fd_(dir_fd) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    fd_.reset();
    if (!name_.empty()) ::unlinkat(dir_fd_, name_.c_str(), 0);
  }

  // Create makes the file; returns 0 or an errno value.
  int Create() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = UniqueName(internal::kTempPrefix);
      const int fd = ::openat(dir_fd_, name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd >= 0) {
        fd_.reset(fd);
        name_ = std::move(name);
        return 0;
      }
      if (errno != EEXIST) return errno;
    }
    return EEXIST;
  }

  // Write stores all of `text`; false with errno set on failure.
  bool Write(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      const ssize_t written = ::write(fd_.get(), data, left);
      if (written < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      data += written;
      left -= static_cast<std::size_t>(written);
    }
    // Created private; values are meant to be readable.
    return ::fchmod(fd_.get(), 0644) == 0;
  }

  // Close reports the errors a delayed write may only show at close.
  bool Close() { return fd_.Close() == 0; }

  // MoveTo renames the file to `name` in directory `to_fd`; false with errno
  // set.
  bool MoveTo(int to_fd, const std::string& name) {
    if (::renameat(dir_fd_, name_.c_str(), to_fd, name.c_str()) != 0) return false;
    name_.clear();
    return true;
  }

 private:
  int dir_fd_;
  UniqueFd fd_;
  std::string name_;
};

// ParentKey returns the key of the node holding `key` ("/" for "/x").
std::string ParentKey(const std::string& key) {
  const std::string::size_type slash = key.rfind('/');
  return slash == 0 ? "/" : key.substr(0, slash);
}

// MakeNodes creates the missing nodes of `key` one by one below `root_fd`
// and opens the last. Returns 0 or an errno value: ENOENT when a concurrent
// deletion took a node away, ELOOP or ENOTDIR for a link or a value on the
// way.
int MakeNodes(int root_fd, const std::string& key, UniqueFd& out) {
  UniqueFd held;
  int dir = root_fd;
  std::string::size_type start = 1;
  while (start < key.size()) {
    const std::string::size_type slash = key.find('/', start);
    const std::string piece = key.substr(start, slash - start);
    if (::mkdirat(dir, piece.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    const int next = ::openat(dir, piece.c_str(), kDirFlags);
    if (next < 0) return errno;
    held.reset(next);
    dir = next;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  out = held.valid() ? std::move(held) : UniqueFd(::openat(root_fd, ".", kDirFlags));
  return out.valid() ? 0 : errno;
}

// OpenNode opens node `key`, making it and its parents when missing.
int OpenNode(int root_fd, const std::string& key, UniqueFd& out) {
  out.reset(OpenBeneath(root_fd, key, O_PATH | O_DIRECTORY));
  if (out.valid()) return 0;
  return errno == ENOENT ? MakeNodes(root_fd, key, out) : errno;
}

// MoveValue renames the finished `temp` to `name` in the directory
// `dir_fd`. Returns 0 or an errno value (ENOENT when the directory was
// deleted meanwhile, ELOOP when `name` is a link, EISDIR when it is a node).
int MoveValue(TempFile& temp, int dir_fd, const std::string& name) {
  struct stat info;
  if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
    return ELOOP;  // a rename would replace the link: refused instead
  }
  return temp.MoveTo(dir_fd, name) ? 0 : errno;
}

int RecordSetFailure(int root_fd, const std::string& key, int err) {
  if (err == EISDIR) {
    RecordWrongKind(key, "is a node, not a value");
    return -1;
  }
  return internal::RecordWriteFailure(root_fd, key, "write", err);
}

// DeleteInPlace removes node `name` of `parent_fd` where it is: a watcher
// sees each value go. For when the trash can't be used.
int DeleteInPlace(int parent_fd, const std::string& name, const std::string& key, int why) {
  if (log::current_level >= log::kNotice) {
    log::print(
        0, log::kNotice,
        "settings: deleting " + key + " in place: no trash (" + internal::ErrorText(why) + ")");
  }
  const int err = RemoveTreeAt(parent_fd, name);
  return err == 0 ? 0 : RecordFileError(key, "delete", err);
}

// MakeTrashSlot makes an empty directory of a unique name in the store's
// hidden trash and opens the trash. Returns 0 or an errno value.
int MakeTrashSlot(int root_fd, UniqueFd& trash, std::string& slot) {
  if (::mkdirat(root_fd, internal::kTrashName, 0700) != 0 && errno != EEXIST) return errno;
  trash.reset(::openat(root_fd, internal::kTrashName, kDirFlags));
  if (!trash.valid()) return errno;
  SweepLeftovers(trash.get(), Leftovers::kTrash);
  for (int attempt = 0; attempt < 100; ++attempt) {
    slot = UniqueName("");
    if (::mkdirat(trash.get(), slot.c_str(), 0700) == 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// DeleteNode removes node `name` of `parent_fd`. It is renamed into the
// store's hidden trash first, so a watcher sees the node go in one event and
// readers never see it half removed; only then is the tree torn down. An
// empty directory of a unique name may be replaced by a rename, which keeps
// concurrent deletions of equal names in several processes apart.
int DeleteNode(int root_fd, int parent_fd, const std::string& name, const std::string& key) {
  UniqueFd trash;
  std::string slot;
  const int err = MakeTrashSlot(root_fd, trash, slot);
  if (err != 0) return DeleteInPlace(parent_fd, name, key, err);
  if (::renameat(parent_fd, name.c_str(), trash.get(), slot.c_str()) != 0) {
    const int rename_err = errno;
    ::unlinkat(trash.get(), slot.c_str(), AT_REMOVEDIR);
    return RecordFileError(key, "delete", rename_err);
  }
  // Dated now, so that a sweep tells a fresh slot from a stale one.
  ::utimensat(trash.get(), slot.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
  const int clear_err = RemoveTreeAt(trash.get(), slot);
  if (clear_err != 0 && log::current_level >= log::kError) {
    // The key is gone all the same; only disk space is lost until a sweep.
    log::print(0, log::kError,
               "could not clear " + std::string(internal::kTrashName) + "/" + slot +
                   " after deleting " + key + ": " + internal::ErrorText(clear_err));
  }
  return 0;
}

}  // namespace

int setKey(const std::string& key, const std::string& value) {
  if (!CheckKey(key)) return -1;
  if (key == "/") {
    RecordWrongKind(key, "is a node, not a value");
    return -1;
  }
  if (value.size() > kMaxValueSize) return internal::RecordTooLarge(key);
  const internal::RootFd root_fd = OpenRoot(key, true);
  if (!root_fd) return -1;
  SweepLeftovers(root_fd->get(), Leftovers::kTemps);
  TempFile temp(root_fd->get());
  int err = temp.Create();
  if (err == 0 && (!temp.Write(value) || !temp.Close())) err = errno;
  if (err != 0) {
    RecordIoError(key, "write", err);
    return -1;
  }
  // Only now are the nodes made: the less time between making them and
  // filling them, the less a concurrent deletion can take them away.
  const std::string name = key.substr(key.rfind('/') + 1);
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    UniqueFd parent;
    err = OpenNode(root_fd->get(), ParentKey(key), parent);
    if (err == 0) err = MoveValue(temp, parent.get(), name);
    if (err != ENOENT) break;  // ENOENT: a node deleted under the write
    Pause(attempt);
  }
  return err == 0 ? 0 : RecordSetFailure(root_fd->get(), key, err);
}

int deleteKey(const std::string& key) {
  if (!CheckKey(key)) return -1;
  if (key == "/") {
    internal::RecordBadKey(key, "the root node can't be deleted");
    return -1;
  }
  const internal::RootFd root_fd = OpenRoot(key, false);
  if (!root_fd) return -1;
  const UniqueFd parent(OpenBeneath(root_fd->get(), ParentKey(key), O_PATH | O_DIRECTORY));
  if (!parent.valid()) return internal::RecordReadFailure(root_fd->get(), key, "delete", errno);
  const std::string name = key.substr(key.rfind('/') + 1);
  struct stat info;
  if (::fstatat(parent.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return RecordFileError(key, "delete", errno);
  }
  SweepLeftovers(parent.get(), Leftovers::kTemps);  // as older versions left them
  if (!S_ISDIR(info.st_mode)) {
    // A link is removed itself, never what it points to.
    if (::unlinkat(parent.get(), name.c_str(), 0) == 0) return 0;
    // EISDIR: replaced by a node since; delete that instead.
    if (errno != EISDIR) return RecordFileError(key, "delete", errno);
  }
  return DeleteNode(root_fd->get(), parent.get(), name, key);
}

}  // namespace setMgmt
}  // namespace orv
