#include "watch_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cstdint>
#include <utility>

#include "key_files.h"
#include "orv/log.h"

namespace orv {
namespace setMgmt {
namespace internal {

namespace {

// IN_CLOSE_WRITE catches values written in place by other tools; the store
// itself renames (IN_MOVED_TO). IN_EXCL_UNLINK spares the events of files
// already unlinked but still open.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                     IN_EXCL_UNLINK;

enum class EntryKind { kValue, kNode, kOther };

EntryKind KindOf(int dir_fd, const dirent& entry) {
  switch (entry.d_type) {
    case DT_REG:
      return EntryKind::kValue;
    case DT_DIR:
      return EntryKind::kNode;
    case DT_UNKNOWN:
      break;  // some file systems don't say; ask
    default:
      return EntryKind::kOther;
  }
  struct stat info;
  if (::fstatat(dir_fd, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
  if (S_ISREG(info.st_mode)) return EntryKind::kValue;
  if (S_ISDIR(info.st_mode)) return EntryKind::kNode;
  return EntryKind::kOther;
}

}  // namespace

WatchTree::WatchTree(UniqueFd fd, std::string root_dir, bool recursive)
    : fd_(std::move(fd)), root_dir_(std::move(root_dir)), recursive_(recursive) {}

std::unique_ptr<WatchTree> WatchTree::Open(const std::string& root_dir, const std::string& key,
                                           bool recursive) {
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd.valid()) return nullptr;
  std::unique_ptr<WatchTree> tree(new WatchTree(std::move(fd), root_dir, recursive));
  tree->top_wd_ = tree->AddWatch(key);
  if (tree->top_wd_ < 0) {
    const int err = errno;
    tree.reset();
    errno = err;
    return nullptr;
  }
  if (recursive) tree->ScanChildren(key, nullptr);
  return tree;
}

const std::string* WatchTree::KeyOf(int wd) const {
  const auto found = keys_.find(wd);
  return found == keys_.end() ? nullptr : &found->second;
}

void WatchTree::AddNode(const std::string& key, std::vector<std::string>* values) {
  if (AddWatch(key) < 0) return;  // gone again, or no watch left for it
  ScanChildren(key, values);
}

void WatchTree::DropNode(const std::string& key) {
  const std::string below = ChildKey(key, "");
  for (auto it = keys_.begin(); it != keys_.end();) {
    if (it->second == key || it->second.compare(0, below.size(), below) == 0) {
      // The directory may be gone already, which removed the watch too.
      ::inotify_rm_watch(fd_.get(), it->first);
      it = keys_.erase(it);
    } else {
      ++it;
    }
  }
}

int WatchTree::AddWatch(const std::string& key) {
  const int wd = ::inotify_add_watch(fd_.get(), KeyFile(root_dir_, key).c_str(), kWatchMask);
  if (wd < 0) {
    const int err = errno;
    if (err == ENOSPC && !limit_logged_) {
      limit_logged_ = true;
      if (log::current_level >= log::kError) {
        log::print(0, log::kError,
                   "out of inotify watches (fs.inotify.max_user_watches) at " + key +
                       ": changes below it are not reported");
      }
    }
    errno = err;
    return -1;
  }
  // The same directory reached twice (a node created while it is scanned)
  // yields the same descriptor, so the entry is simply renewed.
  keys_[wd] = key;
  return wd;
}

void WatchTree::ScanChildren(const std::string& key, std::vector<std::string>* values) {
  const UniqueDir dir(::opendir(KeyFile(root_dir_, key).c_str()));
  if (!dir) return;  // deleted meanwhile; its parent's event says so
  const int dir_fd = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    if (IsHiddenName(entry->d_name)) continue;
    switch (KindOf(dir_fd, *entry)) {
      case EntryKind::kValue:
        if (values != nullptr) values->push_back(ChildKey(key, entry->d_name));
        break;
      case EntryKind::kNode:
        if (recursive_) AddNode(ChildKey(key, entry->d_name), values);
        break;
      case EntryKind::kOther:
        break;
    }
  }
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
