#include "watch_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cstdint>
#include <utility>

#include "beneath.h"
#include "key_files.h"
#include "orv/settings.h"

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

WatchTree::WatchTree(UniqueFd fd, RootFd root, bool recursive)
    : fd_(std::move(fd)), root_(std::move(root)), recursive_(recursive) {}

std::unique_ptr<WatchTree> WatchTree::Open(RootFd root, const std::string& key, bool recursive,
                                           std::string& failed_key) {
  failed_key = key;
  UniqueFd fd(KeepAbove2(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)));
  if (!fd.valid()) return nullptr;
  std::unique_ptr<WatchTree> tree(new WatchTree(std::move(fd), std::move(root), recursive));
  tree->top_wd_ = tree->AddWatch(key);
  if (tree->top_wd_ >= 0 && recursive) tree->ScanChildren(key, nullptr);
  if (tree->out_of_watches_) {
    failed_key = tree->failed_key_;
    tree.reset();
    errno = ENOSPC;
    return nullptr;
  }
  if (tree->top_wd_ < 0) {
    const int err = errno;
    tree.reset();
    errno = err;
    return nullptr;
  }
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
  // The directory is opened without following links, and watched through
  // its descriptor; without /proc, through its name, not following a link
  // in its last piece.
  const UniqueFd dir(OpenBeneath(root_->get(), key, O_PATH | O_DIRECTORY));
  if (!dir.valid()) return -1;
  int wd = ::inotify_add_watch(fd_.get(), ("/proc/self/fd/" + std::to_string(dir.get())).c_str(),
                               kWatchMask);
  if (wd < 0 && errno == ENOENT) {
    wd = ::inotify_add_watch(fd_.get(), KeyFile(root(), key).c_str(), kWatchMask | IN_DONT_FOLLOW);
  }
  if (wd < 0) {
    if (errno == ENOSPC && !out_of_watches_) {
      out_of_watches_ = true;
      failed_key_ = key;
    }
    return -1;
  }
  // The same directory reached twice (a node created while it is scanned)
  // yields the same descriptor, so the entry is simply renewed.
  keys_[wd] = key;
  return wd;
}

void WatchTree::ScanChildren(const std::string& key, std::vector<std::string>* values) {
  UniqueFd fd(OpenBeneath(root_->get(), key, O_RDONLY | O_DIRECTORY));
  if (!fd.valid()) return;  // deleted meanwhile; its parent's event says so
  const UniqueDir dir(::fdopendir(fd.get()));
  if (!dir) return;
  fd.release();  // the stream owns it now
  const int dir_fd = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    if (IsHiddenName(entry->d_name)) continue;
    if (out_of_watches_) return;  // lost anyway
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
