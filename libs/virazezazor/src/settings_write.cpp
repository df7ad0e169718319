// The store's changing operations.
//
// A value is replaced by renaming a finished, synced hidden file over it
// (staged_writes.h), so readers in any process, and the disk after a power
// cut, hold the old text or the new one. A deletion syncs the directory it
// took the key from before it returns. Every file is reached from the root's
// descriptor without following links (beneath.h), and every rename is made
// relative to the directories' own descriptors.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "beneath.h"
#include "key_files.h"
#include "leftovers.h"
#include "orv/log.h"
#include "orv/settings.h"
#include "remove_tree.h"
#include "staged_writes.h"
#include "unique_fd.h"

namespace orv {
namespace setMgmt {

namespace {

using internal::CheckKey;
using internal::LastPiece;
using internal::Leftovers;
using internal::OpenBeneath;
using internal::OpenRoot;
using internal::ParentKey;
using internal::RecordFileError;
using internal::RecordIoError;
using internal::RecordWrongKind;
using internal::RemoveTree;
using internal::StagedWrites;
using internal::SweepLeftovers;
using internal::UniqueFd;
using internal::UniqueName;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// SyncDirectory syncs the directory `dir_fd` after a change to its entries
// made for `key`. Returns 0, or -1 with orverrno set.
int SyncDirectory(int dir_fd, const std::string& key) {
  if (::fsync(dir_fd) == 0) return 0;
  RecordIoError(key, "sync", errno);
  return -1;
}

// DeleteInPlace removes node `name` of `parent_fd` where it is: a watcher
// sees each value go. For when the trash can't be used.
int DeleteInPlace(int parent_fd, const std::string& name, const std::string& key, int why) {
  if (log::current_level >= log::kNotice) {
    log::print(
        0, log::kNotice,
        "settings: deleting " + key + " in place: no trash (" + internal::ErrorText(why) + ")");
  }
  const int err = RemoveTree(parent_fd, name);
  return err == 0 ? 0 : RecordFileError(key, "delete", err);
}

// TrashHome opens the directory that keeps the trash for node `key` (on
// the device `dev`): the root, unless the node lies on a file system mounted
// below it; then the shallowest of the node's parents on that file system,
// so that the node can be renamed into the trash. Returns 0 or an errno value.
int TrashHome(int root_fd, const std::string& key, dev_t dev, UniqueFd& out) {
  std::string at = "/";
  while (true) {
    out.reset(OpenBeneath(root_fd, at, kDirFlags));
    struct stat info;
    if (!out.valid() || ::fstat(out.get(), &info) != 0) return errno;
    if (info.st_dev == dev) return 0;
    const std::string::size_type slash = key.find('/', at.size() + (at == "/" ? 0 : 1));
    if (slash == std::string::npos) return EXDEV;  // not even the node's parent: moved
    at = key.substr(0, slash);
  }
}

// MakeTrashSlot makes an empty directory of a unique name in the hidden
// trash of `home_fd` and opens the trash. Returns 0 or an errno value.
int MakeTrashSlot(int home_fd, UniqueFd& trash, std::string& slot) {
  if (::mkdirat(home_fd, internal::kTrashName, 0700) != 0 && errno != EEXIST) return errno;
  trash.reset(::openat(home_fd, internal::kTrashName, kDirFlags));
  if (!trash.valid()) return errno;
  SweepLeftovers(trash.get(), Leftovers::kTrash);
  for (int attempt = 0; attempt < 100; ++attempt) {
    slot = UniqueName("");
    if (::mkdirat(trash.get(), slot.c_str(), 0700) == 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// DeleteNode removes node `name` of `parent_fd`, found as `node`. It is
// renamed into a hidden trash on its own file system first, so a watcher
// sees the node go in one event and readers never see it half removed; only
// then is the tree torn down. An empty directory of a unique name may be
// replaced by a rename, which keeps concurrent deletions of equal names in
// several processes apart. A node that is itself a mount point can't go.
int DeleteNode(int root_fd, int parent_fd, const std::string& name, const std::string& key,
               const struct stat& node) {
  struct stat parent;
  if (::fstat(parent_fd, &parent) != 0) return RecordFileError(key, "delete", errno);
  if (parent.st_dev != node.st_dev) return RecordFileError(key, "delete", EBUSY);
  UniqueFd home;
  UniqueFd trash;
  std::string slot;
  int err = TrashHome(root_fd, key, node.st_dev, home);
  if (err == 0) err = MakeTrashSlot(home.get(), trash, slot);
  if (err == 0 && ::renameat(parent_fd, name.c_str(), trash.get(), slot.c_str()) != 0) {
    err = errno;
    ::unlinkat(trash.get(), slot.c_str(), AT_REMOVEDIR);
    // EXDEV: the same file system mounted twice (a bind mount).
    if (err != EXDEV) return RecordFileError(key, "delete", err);
  }
  if (err != 0) {
    if (DeleteInPlace(parent_fd, name, key, err) != 0) return -1;
    return SyncDirectory(parent_fd, key);
  }
  // Dated now, so that a sweep tells a fresh slot from a stale one.
  ::utimensat(trash.get(), slot.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
  const int synced = SyncDirectory(parent_fd, key);
  const int clear_err = RemoveTree(trash.get(), slot);
  if (clear_err != 0 && log::current_level >= log::kError) {
    // The key is gone all the same; only disk space is lost until a sweep.
    log::print(0, log::kError,
               "could not clear " + std::string(internal::kTrashName) + "/" + slot +
                   " after deleting " + key + ": " + internal::ErrorText(clear_err));
  }
  return synced;
}

}  // namespace

namespace {

// CheckValue is true when `value` may be written at `key`; else it records
// why in orverrno.
bool CheckValue(const std::string& key, const std::string& value) {
  if (!CheckKey(key)) return false;
  if (key == "/") {
    RecordWrongKind(key, "is a node, not a value");
    return false;
  }
  if (value.size() > kMaxValueSize) {
    internal::RecordTooLarge(key);
    return false;
  }
  return true;
}

// OpenForWrites opens the root for writes to `key` and sweeps it.
internal::RootFd OpenForWrites(const std::string& key) {
  internal::RootFd root_fd = OpenRoot(key, true);
  if (root_fd) SweepLeftovers(root_fd->get(), Leftovers::kTemps);  // as older versions left them
  return root_fd;
}

}  // namespace

int setKey(const std::string& key, const std::string& value) {
  if (!CheckValue(key, value)) return -1;
  const internal::RootFd root_fd = OpenForWrites(key);
  if (!root_fd) return -1;
  StagedWrites writes(root_fd->get(), false);
  if (writes.Stage(key, value) < 0) return -1;
  return writes.Commit();
}

int setKeys(const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& value : values) {
    if (!CheckValue(value.first, value.second)) return -1;
  }
  if (values.empty()) return 0;
  const internal::RootFd root_fd = OpenForWrites(values.front().first);
  if (!root_fd) return -1;
  StagedWrites writes(root_fd->get(), values.size() > 1);
  for (const auto& value : values) {
    if (writes.Stage(value.first, value.second) < 0) return -1;
  }
  return writes.Commit();
}

int deleteKey(const std::string& key) {
  if (!CheckKey(key)) return -1;
  if (key == "/") {
    internal::RecordBadKey(key, "the root node can't be deleted");
    return -1;
  }
  const internal::RootFd root_fd = OpenRoot(key, false);
  if (!root_fd) return -1;
  const UniqueFd parent(OpenBeneath(root_fd->get(), ParentKey(key), kDirFlags));
  if (!parent.valid()) return internal::RecordReadFailure(root_fd->get(), key, "delete", errno);
  const std::string name = LastPiece(key);
  struct stat info;
  if (::fstatat(parent.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return RecordFileError(key, "delete", errno);
  }
  SweepLeftovers(parent.get(), Leftovers::kTemps);
  if (!S_ISDIR(info.st_mode)) {
    // A link is removed itself, never what it points to.
    if (::unlinkat(parent.get(), name.c_str(), 0) == 0) return SyncDirectory(parent.get(), key);
    // EISDIR: replaced by a node since; delete that instead.
    if (errno != EISDIR) return RecordFileError(key, "delete", errno);
    if (::fstatat(parent.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return RecordFileError(key, "delete", errno);
    }
  }
  return DeleteNode(root_fd->get(), parent.get(), name, key, info);
}

}  // namespace setMgmt
}  // namespace orv
