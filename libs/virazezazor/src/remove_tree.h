// Removing a tree of the store (a deleted node in the trash, a node deleted
// in place, a killed process's leftovers) without following links and with
// a bounded number of descriptors, however deep the tree.

#ifndef ORV_VIRAZEZAZOR_SRC_REMOVE_TREE_H_
#define ORV_VIRAZEZAZOR_SRC_REMOVE_TREE_H_

#include <cstddef>
#include <string>

namespace orv {
namespace setMgmt {
namespace internal {

// How many levels of a tree being removed are kept open at once; a level
// above them is opened again by name, from the nearest open one, when the
// removal climbs back to it.
constexpr std::size_t kOpenLevels = 16;

// RemoveTree removes the entry `name` of directory `dir_fd`: a directory
// with everything below it, anything else (a link too) unlinked. It follows
// no link and holds at most kOpenLevels + 2 descriptors of its own. It
// removes what it can, passing over what it can't (and trying a directory
// a writer keeps filling a few times); returns 0 when all is gone, else the
// first errno value met (ENOENT when nothing was there).
int RemoveTree(int dir_fd, const std::string& name);

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_REMOVE_TREE_H_
