#include "staged_writes.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "beneath.h"
#include "key_files.h"
#include "leftovers.h"

namespace orv {
namespace setMgmt {
namespace internal {

namespace {

// How often a value is staged again when a concurrent deletion takes its
// node away under it.
constexpr int kWriteAttempts = 16;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Directories are synced one by one up to this many; beyond, each file
// system they lie on is synced whole: a sync costs a flush of the disk's
// cache (milliseconds) however little it has to write.
constexpr std::size_t kSyncEachAtMost = 4;

// Pause waits a little before another attempt, longer and at random after
// each, so that a writer and a deleter running in step fall out of it.
void Pause(int attempt) {
  if (attempt == 0) return;
  thread_local std::minstd_rand random(
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const unsigned most = 20u << std::min(attempt, 8);  // up to 40 us, ..., 5 ms
  std::this_thread::sleep_for(std::chrono::microseconds(random() % most));
}

// WriteAll writes all of `text` to `fd`; 0 or an errno value.
int WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return 0;
}

// WriteTemp creates a hidden file in `dir_fd` holding `text` (synced when
// `sync`) and names it in `temp`. Returns 0 or an errno value (the file
// removed again).
int WriteTemp(int dir_fd, const std::string& text, bool sync, std::string& temp) {
  UniqueFd fd;
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
    temp = UniqueName(kTempPrefix);
    fd.reset(
        ::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    err = fd.valid() ? 0 : errno;
  }
  const bool created = err == 0;
  // Created private; values are meant to be readable. Synced before it is
  // renamed over the old value: else a power cut could leave the new name
  // with no text behind it.
  if (err == 0) err = WriteAll(fd.get(), text);
  if (err == 0 && ::fchmod(fd.get(), 0644) != 0) err = errno;
  if (err == 0 && sync && ::fsync(fd.get()) != 0) err = errno;
  if (err == 0 && fd.Close() != 0) err = errno;
  if (err != 0) {
    if (created) ::unlinkat(dir_fd, temp.c_str(), 0);
    temp.clear();
  }
  return err;
}

}  // namespace

StagedWrites::~StagedWrites() {
  if (committed_) return;
  for (Value& value : values_) DropTemp(value);
  for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
    // Only while still empty: another caller may have written into it.
    const UniqueFd parent(OpenBeneath(root_fd_, ParentKey(*made), kDirFlags));
    if (parent.valid()) ::unlinkat(parent.get(), LastPiece(*made).c_str(), AT_REMOVEDIR);
  }
}

int StagedWrites::Stage(const std::string& key, const std::string& value) {
  values_.push_back(Value{key, ParentKey(key), LastPiece(key), &value, ""});
  int err = 0;
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    Pause(attempt);
    err = StageOnce(values_.back());
    if (err != ENOENT) break;  // ENOENT: its node deleted under the write
    open_fd_.reset();          // the deleted one, not to be used again
  }
  if (err == 0) return 0;
  const Value failed = values_.back();
  values_.pop_back();
  if (err == EISDIR) {
    RecordWrongKind(failed.key, "is a node, not a value");
    return -1;
  }
  return RecordWriteFailure(root_fd_, failed.key, "write", err);
}

int StagedWrites::StageOnce(Value& value) {
  int dir_fd = -1;
  int err = OpenNode(value.node, true, dir_fd);
  if (err != 0) return err;
  struct stat info;
  if (::fstatat(dir_fd, value.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    // A rename would replace a link: refused instead.
    if (S_ISLNK(info.st_mode)) return ELOOP;
    if (S_ISDIR(info.st_mode)) return EISDIR;
  } else if (errno != ENOENT) {
    return errno;
  }
  err = WriteTemp(dir_fd, *value.text, !batch_, value.temp);
  // Swept here, where this version leaves them; only now, so as not to widen
  // the window in which a deletion can take a node just made away.
  if (err == 0) SweepLeftovers(dir_fd, Leftovers::kTemps);
  return err;
}

int StagedWrites::Commit() {
  std::set<std::string> nodes;
  for (const Value& value : values_) nodes.insert(value.node);
  // A batch's files were not synced one by one: their file systems are now.
  if (batch_ && Sync(nodes, true) != 0) return -1;
  for (Value& value : values_) {
    int err = Rename(value);
    if (err == ENOENT) {
      // Its node was deleted after the value was staged in it, the hidden
      // file with it: the write took place before that deletion.
      DropTemp(value);
      err = 0;
    }
    if (err == EISDIR) {
      RecordWrongKind(value.key, "is a node, not a value");
      return -1;
    }
    if (err != 0) return RecordWriteFailure(root_fd_, value.key, "write", err);
  }
  // Each value is in place: what is left to do can't be undone.
  committed_ = true;
  for (const std::string& made : made_) nodes.insert(ParentKey(made));
  return Sync(nodes, false);
}

int StagedWrites::Rename(Value& value) {
  int dir_fd = -1;
  const int err = OpenNode(value.node, false, dir_fd);
  if (err != 0) return err;
  struct stat info;
  if (::fstatat(dir_fd, value.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(info.st_mode)) {
    return ELOOP;  // made a link since staging
  }
  if (::renameat(dir_fd, value.temp.c_str(), dir_fd, value.name.c_str()) != 0) return errno;
  value.temp.clear();
  return 0;
}

// Sync syncs the directories of `nodes` (after the renames: so that they,
// and the nodes made, are on the disk when the caller hears of success), or
// the file systems they lie on when `whole` or when they are many.
int StagedWrites::Sync(const std::set<std::string>& nodes, bool whole) {
  whole = whole || nodes.size() > kSyncEachAtMost;
  std::set<dev_t> synced;
  for (const std::string& node : nodes) {
    int dir_fd = -1;
    int err = OpenNode(node, false, dir_fd);
    struct stat info;
    if (err == 0 && whole && ::fstat(dir_fd, &info) != 0) err = errno;
    if (err == 0 && whole && synced.insert(info.st_dev).second && ::syncfs(dir_fd) != 0) {
      err = errno;
    }
    if (err == 0 && !whole && ::fsync(dir_fd) != 0) err = errno;
    // ENOENT: deleted meanwhile, by a caller that syncs that.
    if (err != 0 && err != ENOENT) {
      RecordIoError(node, "sync", err);
      return -1;
    }
  }
  return 0;
}

// OpenNode opens the node at `key` (made, with its parents, when missing and
// `make`) into `dir_fd`, kept until another node is opened. Returns 0 or an
// errno value: ENOENT when missing (or deleted while being made), ELOOP or
// ENOTDIR for a link or a value on the way.
int StagedWrites::OpenNode(const std::string& key, bool make, int& dir_fd) {
  if (!open_fd_.valid() || open_key_ != key) {
    open_fd_.reset(OpenBeneath(root_fd_, key, kDirFlags));
    if (!open_fd_.valid()) {
      const int err = errno;
      if (err != ENOENT || !make) return err;
      const int made_err = MakeNodes(key, open_fd_);
      if (made_err != 0) return made_err;
    }
    open_key_ = key;
  }
  dir_fd = open_fd_.get();
  return 0;
}

// MakeNodes creates the missing nodes of `key` one by one and opens the last.
int StagedWrites::MakeNodes(const std::string& key, UniqueFd& out) {
  UniqueFd dir(::fcntl(root_fd_, F_DUPFD_CLOEXEC, 3));
  if (!dir.valid()) return errno;
  std::string::size_type start = 1;
  while (start < key.size()) {
    const std::string::size_type slash = key.find('/', start);
    const std::string piece = key.substr(start, slash - start);
    UniqueFd next;
    // A deletion may take the node away between making and opening it:
    // made again (with the same pauses as a whole write) while its parent
    // stays.
    for (int attempt = 0; attempt < kWriteAttempts && !next.valid(); ++attempt) {
      Pause(attempt);
      const bool made = ::mkdirat(dir.get(), piece.c_str(), 0755) == 0;
      if (!made && errno != EEXIST) return errno;
      if (made) made_.push_back(key.substr(0, slash));
      next.reset(::openat(dir.get(), piece.c_str(), kDirFlags));
      if (!next.valid() && errno != ENOENT) return errno;
    }
    if (!next.valid()) return ENOENT;
    dir = std::move(next);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  out = std::move(dir);
  return 0;
}

void StagedWrites::DropTemp(Value& value) {
  if (value.temp.empty()) return;
  int dir_fd = -1;
  if (OpenNode(value.node, false, dir_fd) == 0) ::unlinkat(dir_fd, value.temp.c_str(), 0);
  value.temp.clear();
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
