#include "store_root.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "orv/settings.h"
#include "terminal_text.h"

namespace orv_tools {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::string RootProblem() {
  const std::string root = orv::setMgmt::root();
  // Reading a tree needs both: listing the directory and entering it.
  const std::unique_ptr<DIR, DirCloser> dir(opendir(root.c_str()));
  if (dir != nullptr && access(root.c_str(), X_OK) == 0) return "";
  return "store root " + Printable(root) + ": " + std::strerror(errno);
}

}  // namespace orv_tools
