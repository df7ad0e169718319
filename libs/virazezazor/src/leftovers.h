// The store's own hidden files in the tree, and the sweeping of those that a
// process killed midway (kill -9, a power cut) left behind.
//
// A value is written to ".new-<pid>-XXXXXX" in its own directory and renamed
// into place (an older version wrote it in the root); a node is deleted by
// renaming it to ".trash/<pid>-XXXXXX" in the root (or in the topmost node of
// the file system it lies on, when that is mounted below the root) and then
// removing that tree. A leftover is stale when it is older than
// kStaleAfterSeconds and the process named in it is gone (or it names none).

#ifndef ORV_VIRAZEZAZOR_SRC_LEFTOVERS_H_
#define ORV_VIRAZEZAZOR_SRC_LEFTOVERS_H_

#include <string>

namespace orv {
namespace setMgmt {
namespace internal {

constexpr char kTempPrefix[] = ".new-";
constexpr char kTrashName[] = ".trash";
constexpr long kStaleAfterSeconds = 10 * 60;

// UniqueName returns "<prefix><pid>-XXXXXX", XXXXXX random letters and
// digits; callers create it exclusively and try again on EEXIST.
std::string UniqueName(const char* prefix);

enum class Leftovers {
  kTemps,  // the ".new-" files of a directory (the root, or a node's)
  kTrash,  // every entry of the trash directory
};

// SweepLeftovers removes the stale leftovers of `kind` from directory
// `dir_fd` (an O_PATH descriptor will do). A directory is swept at most once
// a minute per process, so that writes stay cheap. Removes nothing else and
// reports nothing: a leftover it can't remove is tried again later.
void SweepLeftovers(int dir_fd, Leftovers kind);

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_LEFTOVERS_H_
