// StagedWrites: values written aside, synced, and renamed into place, so that
// each value is the old text or the new one also after a power cut, and a
// batch of values lands whole or not at all.
//
//   StagedWrites writes(root_fd, false);
//   if (writes.Stage("/devices/d1/display_name", text) < 0) return -1;
//   ...
//   return writes.Commit();   // below 0: orverrno says why
//
// Stage makes the key's missing nodes and writes the text to a hidden file
// beside the value (in the value's own directory, so on its file system),
// which it syncs. Commit renames every staged file over its value, then syncs
// each directory that gained or changed an entry (or, for many, the file
// systems they lie on): when Commit returns 0 the values are on the disk. A StagedWrites dropped
// before Commit (after a failed Stage: a full disk, a value where a node is needed) removes its
// hidden files and the nodes it made, leaving the tree as it was.
//
// All or nothing holds against failures while staging, which is where the
// space is taken. Renames take none on the file systems the store is meant
// for; a rename that fails all the same (a node made in the value's place by
// another caller meanwhile) stops Commit with the values before it in place.
// A power cut during staging may leave nodes made for the batch, empty, and
// hidden files that a later sweep removes; never a value half written.
//
// Descriptors: a few, however many values and nodes (directories are opened
// again by key when needed). Not thread-safe: one thread owns a StagedWrites.

#ifndef ORV_VIRAZEZAZOR_SRC_STAGED_WRITES_H_
#define ORV_VIRAZEZAZOR_SRC_STAGED_WRITES_H_

#include <set>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace orv {
namespace setMgmt {
namespace internal {

class StagedWrites {
 public:
  // `root_fd` is the store's open root; it must outlive this object. A
  // `batch` of many values syncs the file systems they lie on once before
  // the renames, rather than each file.
  StagedWrites(int root_fd, bool batch) : root_fd_(root_fd), batch_(batch) {}
  StagedWrites(const StagedWrites&) = delete;
  StagedWrites& operator=(const StagedWrites&) = delete;
  ~StagedWrites();  // undoes what was staged and not committed

  // Stage writes `value` aside for the checked key `key` (not "/"). Returns 0,
  // or below 0 with orverrno set (naming `key`). REQUIRES: `value` stays
  // alive and unchanged until Commit returns.
  [[nodiscard]] int Stage(const std::string& key, const std::string& value);

  // Commit puts every staged value in place and syncs. Returns 0, or below 0
  // with orverrno set (naming the key that failed). Call it once.
  [[nodiscard]] int Commit();

 private:
  struct Value {
    std::string key;
    std::string node;  // the key of the node holding it
    std::string name;  // its name there
    const std::string* text;
    std::string temp;  // the hidden file's name there; empty when none
  };

  int StageOnce(Value& value);
  int Rename(Value& value);
  int Sync(const std::set<std::string>& nodes, bool whole);
  int OpenNode(const std::string& key, bool make, int& dir_fd);
  int MakeNodes(const std::string& key, UniqueFd& out);
  void DropTemp(Value& value);

  const int root_fd_;
  const bool batch_;
  std::vector<Value> values_;
  std::vector<std::string> made_;  // the keys of the nodes made, in order
  // The node last opened (values come mostly in runs of one node).
  std::string open_key_;
  UniqueFd open_fd_;
  bool committed_ = false;
};

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_STAGED_WRITES_H_
