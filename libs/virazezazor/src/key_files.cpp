#include "key_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include "beneath.h"
#include "orv/error.h"
#include "orv/settings.h"

namespace orv {
namespace setMgmt {

namespace {

constexpr char kDefaultRoot[] = "/var/lib/orv/settings";

struct RootSetting {
  std::mutex mutex;
  bool chosen = false;    // guarded by mutex
  std::string directory;  // guarded by mutex
  // The open root directory, kept while the directory of that name is the
  // same one; guarded by mutex. Shared: a caller may still use the one that
  // a set_root or a replaced root made stale.
  internal::RootFd fd;
  // The device and inode of `fd`'s directory, taken when it was opened, so
  // that checking the name against it costs one stat; guarded by mutex.
  dev_t fd_dev = 0;
  ino_t fd_ino = 0;
};

// Never destroyed, so the store stays usable from static destructors.
RootSetting& TheRoot() {
  static RootSetting* const setting = new RootSetting;
  return *setting;
}

// Keys are joined onto the root as they are, so a trailing "/" on the root
// would double up.
std::string WithoutTrailingSlash(std::string directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

}  // namespace

int set_root(const std::string& directory) {
  if (directory.empty()) {
    orverrno.set(kBadKey, "bad settings root \"\": empty");
    return -1;
  }
  RootSetting& setting = TheRoot();
  std::lock_guard<std::mutex> hold(setting.mutex);
  setting.directory = WithoutTrailingSlash(directory);
  setting.chosen = true;
  setting.fd.reset();
  return 0;
}

namespace {

// ChosenRoot returns the root directory, choosing it on first use.
// REQUIRES: setting.mutex is held.
const std::string& ChosenRoot(RootSetting& setting) {
  if (!setting.chosen) {
    const char* from_env = std::getenv("ORV_SETTINGS_DIR");
    setting.directory = WithoutTrailingSlash(from_env && *from_env ? from_env : kDefaultRoot);
    setting.chosen = true;
  }
  return setting.directory;
}

}  // namespace

std::string root() {
  RootSetting& setting = TheRoot();
  std::lock_guard<std::mutex> hold(setting.mutex);
  return ChosenRoot(setting);
}

namespace internal {

void RecordBadKey(const std::string& key, const char* why) {
  std::string text = "bad key \"";
  for (const char c : key) text += c == '\0' ? std::string("\\0") : std::string(1, c);
  text += "\": ";
  text += why;
  orverrno.set(kBadKey, text);
}

bool CheckKey(const std::string& key) {
  if (key.empty() || key.front() != '/') {
    RecordBadKey(key, "a key starts with \"/\"");
    return false;
  }
  if (key == "/") return true;
  // Refused here rather than left to ENAMETOOLONG, so that callers see one
  // kind of error for every key the store can't hold.
  if (key.size() >= PATH_MAX / 2) {
    RecordBadKey(key, "too long");
    return false;
  }
  std::string::size_type start = 1;
  while (true) {
    const std::string::size_type end = key.find('/', start);
    const std::string_view piece(key.data() + start,
                                 (end == std::string::npos ? key.size() : end) - start);
    if (piece.empty()) {
      RecordBadKey(key, "empty piece");
      return false;
    }
    if (piece.front() == '.') {
      RecordBadKey(key, "a piece starts with \".\"");
      return false;
    }
    if (piece.find('\0') != std::string_view::npos) {
      RecordBadKey(key, "NUL byte in a piece");
      return false;
    }
    if (piece.size() > NAME_MAX) {
      RecordBadKey(key, "piece too long");
      return false;
    }
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string KeyFile(const std::string& root_dir, const std::string& key) {
  if (key == "/") return root_dir;
  std::string file;  // one allocation: every store call starts here
  file.reserve(root_dir.size() + key.size());
  file.append(root_dir).append(key);
  return file;
}

std::string ChildKey(const std::string& key, std::string_view name) {
  std::string child = key;
  if (child.empty() || child.back() != '/') child += '/';
  child.append(name.data(), name.size());
  return child;
}

std::string ParentKey(const std::string& key) {
  const std::string::size_type slash = key.rfind('/');
  return slash == 0 ? "/" : key.substr(0, slash);
}

std::string LastPiece(const std::string& key) { return key.substr(key.rfind('/') + 1); }

void RecordNotFound(const std::string& key) {
  orverrno.set(kNotFound, "key " + key + " not found");
}

void RecordWrongKind(const std::string& key, const char* what) {
  orverrno.set(kWrongKind, "key " + key + ": " + what);
}

std::string ErrorText(int err) {
  char buffer[256];
  // The GNU strerror_r may return a static text instead of filling buffer.
  return strerror_r(err, buffer, sizeof(buffer));
}

void RecordIoError(const std::string& key, const char* action, int err) {
  orverrno.set(kIoError, std::string(action) + " key " + key + ": " + ErrorText(err));
}

int RecordLink(const std::string& link_key) {
  orverrno.set(kSymbolicLink, "key " + link_key + " is a symbolic link");
  return -1;
}

int RecordTooLarge(const std::string& key) {
  orverrno.set(kTooLarge,
               "value of " + key + " is larger than " + std::to_string(kMaxValueSize) + " bytes");
  return -1;
}

namespace {

// RecordRootError records why the root `directory` can't serve `key`.
RootFd RecordRootError(const std::string& key, const std::string& directory, int err, bool create) {
  const std::string problem = "settings root " + directory + ": " + ErrorText(err);
  if (err == ENOENT && !create) {
    orverrno.set(kNotFound, "key " + key + " not found: " + problem);
  } else {
    orverrno.set(kIoError, problem);
  }
  errno = err;  // for callers that word their own text
  return nullptr;
}

}  // namespace

RootFd OpenRoot(const std::string& key, bool create) {
  RootSetting& setting = TheRoot();
  std::string directory;
  RootFd cached;
  dev_t cached_dev = 0;
  ino_t cached_ino = 0;
  {
    std::lock_guard<std::mutex> hold(setting.mutex);
    directory = ChosenRoot(setting);
    cached = setting.fd;
    cached_dev = setting.fd_dev;
    cached_ino = setting.fd_ino;
  }
  // The name is looked up every time (without a descriptor): the root may
  // have been replaced, and a link to it pointed elsewhere.
  struct stat named;
  int found = ::stat(directory.c_str(), &named);
  if (found != 0 && errno == ENOENT && create) {
    // A store used the first time; its parent must exist.
    if (::mkdir(directory.c_str(), 0755) == 0 || errno == EEXIST) {
      found = ::stat(directory.c_str(), &named);
    }
  }
  if (found != 0) return RecordRootError(key, directory, errno, create);
  if (!S_ISDIR(named.st_mode)) return RecordRootError(key, directory, ENOTDIR, create);
  if (cached && cached_dev == named.st_dev && cached_ino == named.st_ino) return cached;
  UniqueFd fd(KeepAbove2(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!fd.valid()) return RecordRootError(key, directory, errno, create);
  struct stat held;
  if (::fstat(fd.get(), &held) != 0) return RecordRootError(key, directory, errno, create);
  RootFd opened = std::make_shared<const UniqueFd>(std::move(fd));
  std::lock_guard<std::mutex> hold(setting.mutex);
  if (setting.directory == directory) {
    setting.fd = opened;
    setting.fd_dev = held.st_dev;
    setting.fd_ino = held.st_ino;
  }
  return opened;
}

int RecordReadFailure(int root_fd, const std::string& key, const char* action, int err) {
  if (err == ELOOP || err == ENOTDIR || err == ENOENT) {
    const Diagnosis found = Diagnose(root_fd, key);
    if (found.fault == Fault::kLink) return RecordLink(found.at);
    if (found.fault == Fault::kMissing) {
      RecordNotFound(key);
      return -1;
    }
  }
  // A value where a node should be (ENOTDIR) is "not found" there.
  return RecordFileError(key, action, err);
}

int RecordWriteFailure(int root_fd, const std::string& key, const char* action, int err) {
  if (err == ELOOP || err == ENOTDIR || err == ENOENT) {
    const Diagnosis found = Diagnose(root_fd, key);
    if (found.fault == Fault::kLink) return RecordLink(found.at);
    if (found.fault == Fault::kValue || err == ENOTDIR) {
      RecordWrongKind(key, "a parent of it is a value, not a node");
      return -1;
    }
  }
  RecordIoError(key, action, err);
  return -1;
}

int RecordFileError(const std::string& key, const char* action, int err) {
  // ENOTDIR: a piece of the key names a value, so nothing can be below it.
  if (err == ENOENT || err == ENOTDIR) {
    RecordNotFound(key);
  } else {
    RecordIoError(key, action, err);
  }
  return -1;
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
