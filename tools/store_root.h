// store_root.h: the tools' view of the store's root directory.

#ifndef ORV_TOOLS_STORE_ROOT_H_
#define ORV_TOOLS_STORE_ROOT_H_

#include <string>

namespace orv_tools {

// SetRoot makes `dir` (the value of --root) the store's root. Returns "", or
// the usage problem when `dir` is empty: an empty root would make "/" the
// store.
std::string SetRoot(const std::string& dir);

// RootProblem returns "" when the store's current root (orv::setMgmt::root())
// is a directory this process can read; otherwise one line naming the
// directory and the system's reason, e.g.
//   store root /var/lib/orv/settings: No such file or directory
// as raw text (Fail makes it printable). The tools check it first: the store
// itself would report a missing root as an empty tree.
std::string RootProblem();

}  // namespace orv_tools

#endif  // ORV_TOOLS_STORE_ROOT_H_
