// The store's changing operations.
//
// A value is replaced by renaming a finished hidden file over it, so readers
// in any process see the old text or the new one. Nothing is fsynced: the
// promise is atomicity towards readers, not durability across a power cut.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "key_files.h"
#include "orv/log.h"
#include "orv/settings.h"
#include "unique_fd.h"

namespace orv {
namespace setMgmt {

namespace {

using internal::CheckKey;
using internal::KeyFile;
using internal::RecordFileError;
using internal::RecordIoError;
using internal::RecordWrongKind;
using internal::UniqueFd;

// Deleted nodes are moved here first; see DeleteNode.
constexpr char kTrashDir[] = "/.trash";

// A value's text is written to a hidden file in the value's directory; the
// file is removed again unless it was renamed into place.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    fd_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  // Create makes the file in `directory`; returns 0 or an errno value.
  int Create(const std::string& directory) {
    std::string path = directory + "/.new-XXXXXX";
    const int fd = ::mkostemp(&path[0], O_CLOEXEC);
    if (fd < 0) return errno;
    fd_.reset(fd);
    path_ = std::move(path);
    return 0;
  }

  // Write stores all of `text`; false with errno set on failure.
  bool Write(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      const ssize_t written = ::write(fd_.get(), data, left);
      if (written < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      data += written;
      left -= static_cast<std::size_t>(written);
    }
    // mkostemp creates the file private; values are meant to be readable.
    return ::fchmod(fd_.get(), 0644) == 0;
  }

  // Close reports the errors a delayed write may only show at close.
  bool Close() { return fd_.Close() == 0; }

  // MoveTo renames the file to `target`; false with errno set on failure.
  bool MoveTo(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  UniqueFd fd_;
  std::string path_;
};

// MakeParents creates the missing nodes above `key` (and the root directory
// itself, for a store used the first time).
int MakeParents(const std::string& root_dir, const std::string& key) {
  if (::mkdir(root_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    RecordIoError(key, "create the store for", errno);
    return -1;
  }
  for (std::string::size_type slash = key.find('/', 1); slash != std::string::npos;
       slash = key.find('/', slash + 1)) {
    const std::string directory = root_dir + key.substr(0, slash);
    if (::mkdir(directory.c_str(), 0755) == 0 || errno == EEXIST) continue;
    if (errno == ENOTDIR) {
      RecordWrongKind(key, "a parent of it is a value, not a node");
    } else {
      RecordIoError(key, "create the parents of", errno);
    }
    return -1;
  }
  return 0;
}

// DeleteNode removes the directory of node `key`. It is renamed into the
// store's hidden trash first, so a watcher sees the node go in one event and
// readers never see it half removed; only then is the tree torn down.
int DeleteNode(const std::string& root_dir, const std::string& key, const std::string& file) {
  const std::string trash = root_dir + kTrashDir;
  if (::mkdir(trash.c_str(), 0700) != 0 && errno != EEXIST) {
    RecordIoError(key, "delete", errno);
    return -1;
  }
  // An empty directory of a unique name may be replaced by a rename, which
  // keeps concurrent deletions of equal names in several processes apart.
  std::string slot = trash + "/XXXXXX";
  if (::mkdtemp(&slot[0]) == nullptr) {
    RecordIoError(key, "delete", errno);
    return -1;
  }
  if (::rename(file.c_str(), slot.c_str()) != 0) {
    const int err = errno;
    ::rmdir(slot.c_str());
    return RecordFileError(key, "delete", err);
  }
  std::error_code error;
  std::filesystem::remove_all(slot, error);
  if (error && log::current_level >= log::kError) {
    // The key is gone all the same; only disk space is lost.
    log::print(0, log::kError,
               "could not clear " + slot + " after deleting " + key + ": " + error.message());
  }
  return 0;
}

}  // namespace

int setKey(const std::string& key, const std::string& value) {
  if (!CheckKey(key)) return -1;
  if (key == "/") {
    RecordWrongKind(key, "is a node, not a value");
    return -1;
  }
  const std::string root_dir = root();
  const std::string directory = root_dir + key.substr(0, key.rfind('/'));
  TempFile temp;
  int err = temp.Create(directory);
  if (err == ENOENT) {
    if (MakeParents(root_dir, key) < 0) return -1;
    err = temp.Create(directory);
  }
  if (err == ENOTDIR) {
    RecordWrongKind(key, "a parent of it is a value, not a node");
    return -1;
  }
  if (err != 0) {
    RecordIoError(key, "write", err);
    return -1;
  }
  if (!temp.Write(value) || !temp.Close()) {
    RecordIoError(key, "write", errno);
    return -1;
  }
  if (!temp.MoveTo(KeyFile(root_dir, key))) {
    if (errno == EISDIR) {
      RecordWrongKind(key, "is a node, not a value");
    } else {
      RecordIoError(key, "write", errno);
    }
    return -1;
  }
  return 0;
}

int deleteKey(const std::string& key) {
  if (!CheckKey(key)) return -1;
  if (key == "/") {
    internal::RecordBadKey(key, "the root node can't be deleted");
    return -1;
  }
  const std::string root_dir = root();
  const std::string file = KeyFile(root_dir, key);
  struct stat info;
  if (::lstat(file.c_str(), &info) != 0) return RecordFileError(key, "delete", errno);
  if (!S_ISDIR(info.st_mode)) {
    if (::unlink(file.c_str()) == 0) return 0;
    // EISDIR: replaced by a node since the lstat; delete that instead.
    if (errno != EISDIR) return RecordFileError(key, "delete", errno);
  }
  return DeleteNode(root_dir, key, file);
}

}  // namespace setMgmt
}  // namespace orv
