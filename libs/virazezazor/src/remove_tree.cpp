#include "remove_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "unique_fd.h"

namespace orv {
namespace setMgmt {
namespace internal {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// How often a directory that a writer keeps filling is cleared again.
constexpr int kClearAttempts = 3;

// A directory on the way down from the tree's top to where the removal is.
struct Level {
  std::string name;               // its name in the level above
  int attempts = 0;               // times it was found filled again
  UniqueFd fd;                    // open while among the deepest kOpenLevels
  bool listed = false;            // `left` holds its entries
  std::vector<std::string> left;  // entries not yet removed
};

// A depth-first removal that keeps its path in memory rather than on the
// stack, and only the deepest levels of it open.
class Remover {
 public:
  explicit Remover(int top_fd) : top_fd_(top_fd) {}

  int Run(const std::string& name) {
    Descend(name, 0);
    while (!levels_.empty()) Step();
    return first_error_;
  }

 private:
  void Descend(const std::string& name, int attempts) {
    levels_.push_back(Level{name, attempts, UniqueFd(), false, {}});
    if (levels_.size() > kOpenLevels) levels_[levels_.size() - 1 - kOpenLevels].fd.reset();
  }

  // Step removes one entry of the deepest level, goes down into it when it
  // is a directory, or removes the level once it is empty.
  void Step() {
    Level& level = levels_.back();
    const int fd = Open(levels_.size() - 1);
    if (fd < 0) return Climb(errno);
    if (!level.listed && !List(level, fd)) return Climb(errno);
    if (level.left.empty()) return Climb(0);
    const std::string name = std::move(level.left.back());
    level.left.pop_back();
    if (::unlinkat(fd, name.c_str(), 0) == 0 || errno == ENOENT) return;
    if (errno == EISDIR || errno == EPERM) return Descend(name, 0);  // EPERM: Linux's answer
    Note(errno);
  }

  // Climb leaves the deepest level, removing it when it was cleared (`err`
  // 0), else noting why it couldn't be.
  void Climb(int err) {
    const std::string name = std::move(levels_.back().name);
    const int attempts = levels_.back().attempts;
    levels_.pop_back();
    if (err != 0) return Note(err);
    const int parent = levels_.empty() ? top_fd_ : Open(levels_.size() - 1);
    if (parent < 0) return Note(errno);
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return;
    if ((errno == ENOTEMPTY || errno == EEXIST) && attempts + 1 < kClearAttempts) {
      return Descend(name, attempts + 1);  // a writer added an entry: again
    }
    Note(errno);
  }

  // Open gives level `index`'s descriptor, opening it (and the levels above
  // it that are closed) by name from the nearest open level; -1 with errno.
  int Open(std::size_t index) {
    if (levels_[index].fd.valid()) return levels_[index].fd.get();
    std::size_t from = index;
    while (from > 0 && !levels_[from - 1].fd.valid()) --from;
    int parent = from == 0 ? top_fd_ : levels_[from - 1].fd.get();
    UniqueFd passing;  // a level outside the window, held while its child opens
    for (std::size_t at = from; at <= index; ++at) {
      UniqueFd fd(::openat(parent, levels_[at].name.c_str(), kDirFlags));
      if (!fd.valid()) return -1;
      parent = fd.get();
      if (at + kOpenLevels >= levels_.size()) {
        levels_[at].fd = std::move(fd);
      } else {
        passing = std::move(fd);
      }
    }
    return levels_[index].fd.get();
  }

  // List reads the names in `level`; false with errno set on failure.
  static bool List(Level& level, int fd) {
    const int list_fd = ::openat(fd, ".", kDirFlags);
    if (list_fd < 0) return false;
    const UniqueDir dir(::fdopendir(list_fd));
    if (!dir) {
      const int err = errno;
      ::close(list_fd);
      errno = err;
      return false;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") level.left.push_back(name);
    }
    level.listed = true;
    return true;
  }

  void Note(int err) {
    if (first_error_ == 0) first_error_ = err;
  }

  const int top_fd_;
  std::vector<Level> levels_;
  int first_error_ = 0;
};

}  // namespace

int RemoveTree(int dir_fd, const std::string& name) {
  if (::unlinkat(dir_fd, name.c_str(), 0) == 0) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;  // EPERM: Linux's answer for a directory
  return Remover(dir_fd).Run(name);
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
