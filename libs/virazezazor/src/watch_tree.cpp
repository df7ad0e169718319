#include "watch_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cstdint>
#include <utility>

#include "beneath.h"
#include "key_files.h"
#include "orv/settings.h"
#include "value_files.h"

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

// Room for a few hundred entries per getdents64.
constexpr std::size_t kListBuffer = 16 * 1024;

// Gone is true for an error that says the node is no longer there (or no
// longer a node: a link or a value took its place).
bool Gone(int err) { return err == ENOENT || err == ENOTDIR || err == ELOOP; }

}  // namespace

WatchTree::WatchTree(UniqueFd fd, RootFd root, bool recursive)
    : fd_(std::move(fd)), root_(std::move(root)), recursive_(recursive) {}

std::unique_ptr<WatchTree> WatchTree::Open(RootFd root, const std::string& key, bool recursive,
                                           std::string& failed_key) {
  failed_key = key;
  UniqueFd fd(KeepAbove2(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)));
  if (!fd.valid()) return nullptr;
  std::unique_ptr<WatchTree> tree(new WatchTree(std::move(fd), std::move(root), recursive));
  UniqueFd dir;
  tree->top_wd_ = tree->AddWatch(key, dir);
  if (tree->top_wd_ >= 0 && recursive) tree->ScanChildren(key, std::move(dir), nullptr);
  if (tree->top_wd_ >= 0 && tree->hole_errno_ != 0) {
    failed_key = tree->failed_key_;
    const int err = tree->hole_errno_;
    tree.reset();
    errno = err;
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
  UniqueFd dir;
  if (AddWatch(key, dir) < 0) return;  // gone again, or no watch left for it
  ScanChildren(key, std::move(dir), values);
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

int WatchTree::AddWatch(const std::string& key, UniqueFd& dir) {
  // The directory is opened without following links, and watched through
  // its descriptor; without /proc, through its name, not following a link
  // in its last piece. (Watching needs read permission, as listing does.)
  dir.reset(OpenBeneath(root_->get(), key, O_RDONLY | O_DIRECTORY));
  if (!dir.valid()) {
    NoteFailure(key, errno);
    return -1;
  }
  int wd = ::inotify_add_watch(fd_.get(), ("/proc/self/fd/" + std::to_string(dir.get())).c_str(),
                               kWatchMask);
  if (wd < 0 && errno == ENOENT) {
    wd = ::inotify_add_watch(fd_.get(), KeyFile(root(), key).c_str(), kWatchMask | IN_DONT_FOLLOW);
  }
  if (wd < 0) {
    NoteFailure(key, errno);
    return -1;
  }
  // The same directory reached twice (a node created while it is scanned)
  // yields the same descriptor, so the entry is simply renewed.
  keys_[wd] = key;
  return wd;
}

void WatchTree::NoteFailure(const std::string& key, int err) {
  if (Gone(err) || hole_errno_ != 0) return;
  hole_errno_ = err;
  failed_key_ = key;
}

void WatchTree::ScanChildren(const std::string& key, UniqueFd dir,
                             std::vector<std::string>* values) {
  std::vector<std::string> nodes;
  listing_.resize(kListBuffer);
  const auto take = [&](const char* name, unsigned char d_type) {
    const EntryKind kind = KindOf(dir.get(), name, d_type);
    if (kind == EntryKind::kValue && values != nullptr) values->push_back(ChildKey(key, name));
    if (kind == EntryKind::kNode && recursive_) nodes.emplace_back(name);
  };
  const bool listed = ListEntries(dir.get(), listing_.data(), listing_.size(), take);
  if (!listed) {
    NoteFailure(key, errno);  // deleted meanwhile, and its parent's event says so; or a hole
    return;
  }
  dir.reset();
  for (const std::string& node : nodes) {
    if (hole_errno_ != 0) return;  // lost anyway
    AddNode(ChildKey(key, node), values);
  }
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
