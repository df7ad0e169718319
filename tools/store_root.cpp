#include "store_root.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "orv/settings.h"

namespace orv_tools {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::string SetRoot(const std::string& dir) {
  if (dir.empty()) return "--root needs a DIR, not an empty name";
  orv::setMgmt::set_root(dir);
  return "";
}

std::string RootProblem() {
  const std::string root = orv::setMgmt::root();
  // Reading a tree needs both: listing the directory and entering it.
  const std::unique_ptr<DIR, DirCloser> dir(opendir(root.c_str()));
  if (dir != nullptr && access(root.c_str(), X_OK) == 0) return "";
  return "store root " + root + ": " + std::strerror(errno);
}

}  // namespace orv_tools
