// The store's reading operations.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "beneath.h"
#include "key_files.h"
#include "orv/settings.h"
#include "root_pin.h"
#include "unique_fd.h"
#include "value_files.h"

namespace orv {
namespace setMgmt {

namespace {

using internal::CheckKey;
using internal::OpenBeneath;
using internal::OpenInRoot;
using internal::RecordFileError;
using internal::RecordIoError;
using internal::RecordLink;
using internal::RecordReadFailure;
using internal::RecordWrongKind;
using internal::UniqueDir;
using internal::UniqueFd;

// RefuseSpecial records the refusal of what `key` names below `root_fd`
// and returns -1 when it is a node or a special file, without opening it;
// else 0 (a value, or nothing there: the open that reads finds out).
int RefuseSpecial(int root_fd, const std::string& key) {
  struct stat named;
  // By name, which may follow a link above the last piece: a refusal is
  // confirmed below by an open that doesn't.
  if (::fstatat(root_fd, key.c_str() + 1, &named, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  if (S_ISREG(named.st_mode) || S_ISLNK(named.st_mode)) return 0;
  const UniqueFd held(OpenBeneath(root_fd, key, O_PATH));
  struct stat info;
  if (!held.valid() || ::fstat(held.get(), &info) != 0 || S_ISREG(info.st_mode)) return 0;
  return internal::RecordNotAValue(key, S_ISDIR(info.st_mode));
}

// RecordListFailure sorts out why `key` can't be listed.
int RecordListFailure(int root_fd, const std::string& key, int err) {
  if (err == ENOTDIR && internal::Diagnose(root_fd, key).fault == internal::Fault::kNone) {
    RecordWrongKind(key, "is a value, not a node");
    return -1;
  }
  return RecordReadFailure(root_fd, key, "list", err);
}

}  // namespace

int getKey(const std::string& key, std::string& value) {
  if (!CheckKey(key)) return -1;
  bool pinned = false;
  internal::RootFd root_fd = internal::StoreRoot(key, pinned);
  while (root_fd) {
    // A special file (a device, a tty, a FIFO) is refused before it is
    // opened: opening a device can act on it.
    if (key.size() > 1 && RefuseSpecial(root_fd->get(), key) != 0) return -1;
    // O_NONBLOCK: a FIFO put there meanwhile must not hang the reader.
    const UniqueFd fd(OpenBeneath(root_fd->get(), key, O_RDONLY | O_NOCTTY | O_NONBLOCK));
    if (fd.valid()) return internal::ReadValue(fd.get(), key, nullptr, value);
    if (!pinned || !internal::RootReplaced(key, root_fd)) {
      return RecordReadFailure(root_fd->get(), key, "read", errno);
    }
    pinned = false;  // once more, below the root that replaced the pinned one
  }
  return -1;
}

std::string getKeyValue(const std::string& key, const std::string& fallback) {
  std::string value;
  if (getKey(key, value) < 0) return fallback;
  return value;  // moved out, not copied as a conditional expression would
}

int getKeyValue(const std::string& key, int fallback) {
  std::string text;
  int number = 0;
  if (getKey(key, text) < 0 || !internal::ParseInt(text, number)) return fallback;
  return number;
}

int enumSubkeys(const std::string& key, std::vector<std::string>& names) {
  if (!CheckKey(key)) return -1;
  internal::RootFd root_fd;
  UniqueFd fd(OpenInRoot(key, O_RDONLY | O_DIRECTORY, root_fd));
  if (!root_fd) return -1;
  if (!fd.valid()) return RecordListFailure(root_fd->get(), key, errno);
  const UniqueDir dir(::fdopendir(fd.get()));
  if (!dir) return RecordFileError(key, "list", errno);
  fd.release();  // the stream owns it now
  const int dir_fd = ::dirfd(dir.get());
  std::vector<std::string> found;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) {
        RecordIoError(key, "list", errno);
        return -1;
      }
      break;
    }
    if (internal::IsHiddenName(entry->d_name)) continue;  // also "." and ".."
    switch (internal::KindOf(dir_fd, entry->d_name, entry->d_type)) {
      case internal::EntryKind::kValue:
      case internal::EntryKind::kNode:
        found.emplace_back(entry->d_name);
        break;
      case internal::EntryKind::kLink:
      case internal::EntryKind::kGone:
        break;  // neither node nor value
      case internal::EntryKind::kSpecial:
        internal::WarnSpecial(internal::ChildKey(key, entry->d_name));
        break;
    }
  }
  // std::string compares as unsigned bytes, which is the order promised.
  std::sort(found.begin(), found.end());
  names.insert(names.end(), found.begin(), found.end());
  return static_cast<int>(std::min<std::uint64_t>(found.size(), INT_MAX));
}

int statKey(const std::string& key, storage::NodeInfo& info) {
  if (!CheckKey(key)) return -1;
  internal::RootFd root_fd;
  // O_PATH: a link opens as itself, and nothing needs read permission.
  const UniqueFd fd(OpenInRoot(key, O_PATH, root_fd));
  if (!root_fd) return -1;
  if (!fd.valid()) return RecordReadFailure(root_fd->get(), key, "stat", errno);
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) return RecordFileError(key, "stat", errno);
  if (S_ISLNK(status.st_mode)) return RecordLink(key);
  const bool node = S_ISDIR(status.st_mode);
  info.kind = node ? storage::NodeInfo::kNode : storage::NodeInfo::kValue;
  info.size = node ? 0 : static_cast<std::int64_t>(status.st_size);
  info.mtime_ns = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                  static_cast<std::int64_t>(status.st_mtim.tv_nsec);
  return 0;
}

}  // namespace setMgmt
}  // namespace orv
