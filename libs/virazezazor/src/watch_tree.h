// WatchTree: the inotify watches behind one MonitoredKey, one per watched
// directory, each remembered with the key of its node.

#ifndef ORV_VIRAZEZAZOR_SRC_WATCH_TREE_H_
#define ORV_VIRAZEZAZOR_SRC_WATCH_TREE_H_

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "key_files.h"
#include "unique_fd.h"

namespace orv {
namespace setMgmt {
namespace internal {

class WatchTree {
 public:
  // Open watches node `key` below the root directory `root` and, when
  // `recursive`, every node below it, never through a symbolic link. What is
  // there already is not reported. Returns null with errno set when the node
  // can't be watched, or when a node below it can't be watched for any
  // reason but being gone (see Hole); `failed_key` then names the node that
  // could not be watched.
  static std::unique_ptr<WatchTree> Open(RootFd root, const std::string& key, bool recursive,
                                         std::string& failed_key);

  WatchTree(const WatchTree&) = delete;
  WatchTree& operator=(const WatchTree&) = delete;

  int fd() const { return fd_.get(); }
  bool recursive() const { return recursive_; }
  bool IsTop(int wd) const { return wd == top_wd_; }

  // KeyOf returns the node key watched by `wd`, or null for a watch that was
  // dropped (its late events are to be ignored). Valid until the next change.
  const std::string* KeyOf(int wd) const;

  // AddNode watches node `key` and the nodes below it, appending to `values`
  // the key of every value found in them: they may have been written before
  // the watches took hold.
  void AddNode(const std::string& key, std::vector<std::string>* values);

  // DropNode stops watching node `key` and everything below it.
  void DropNode(const std::string& key);

  // Forget drops the record of a watch the kernel removed itself.
  void Forget(int wd) { keys_.erase(wd); }

  // Hole names the first node left unwatched for a reason other than being
  // gone (the kernel's watches ran out: ENOSPC; descriptors: EMFILE, ENFILE;
  // EACCES, ENOMEM...), or is null; `err` gets the reason. Changes below it
  // would go unreported, so the watch is as good as lost.
  const std::string* Hole(int& err) const {
    err = hole_errno_;
    return hole_errno_ != 0 ? &failed_key_ : nullptr;
  }

 private:
  WatchTree(UniqueFd fd, RootFd root, bool recursive);

  // AddWatch opens the directory of `key` into `dir` and watches it through
  // that descriptor, so that a scan lists the very directory watched;
  // returns the watch descriptor, or -1 with errno set.
  int AddWatch(const std::string& key, UniqueFd& dir);

  // NoteFailure records the failure `err` at node `key` as the hole, unless
  // it says the node is gone (its parent's event reports that) or a hole is
  // known already.
  void NoteFailure(const std::string& key, int err);

  // ScanChildren lists `dir`, the directory of `key`, and closes it; then
  // its subdirectories are watched (when recursive) and its values appended
  // to `values` when not null. One directory is open at a time, however
  // deep the tree.
  void ScanChildren(const std::string& key, UniqueFd dir, std::vector<std::string>* values);

  UniqueFd fd_;
  RootFd root_;
  bool recursive_;
  int top_wd_ = -1;
  int hole_errno_ = 0;      // 0: no hole
  std::string failed_key_;  // the hole's node
  std::unordered_map<int, std::string> keys_;
  std::vector<char> listing_;  // getdents64's buffer, one listing at a time
};

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_WATCH_TREE_H_
