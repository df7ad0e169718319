#include "key_files.h"

#include <errno.h>
#include <limits.h>
#include <string.h>

#include <cstdlib>
#include <mutex>

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

void set_root(const std::string& directory) {
  RootSetting& setting = TheRoot();
  std::lock_guard<std::mutex> hold(setting.mutex);
  setting.directory = WithoutTrailingSlash(directory);
  setting.chosen = true;
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

std::string RootedKeyFile(const std::string& key) {
  RootSetting& setting = TheRoot();
  std::lock_guard<std::mutex> hold(setting.mutex);
  return KeyFile(ChosenRoot(setting), key);
}

std::string ChildKey(const std::string& key, std::string_view name) {
  std::string child = key;
  if (child.empty() || child.back() != '/') child += '/';
  child.append(name.data(), name.size());
  return child;
}

void RecordNotFound(const std::string& key) {
  orverrno.set(kNotFound, "key " + key + " not found");
}

void RecordWrongKind(const std::string& key, const char* what) {
  orverrno.set(kWrongKind, "key " + key + ": " + what);
}

void RecordIoError(const std::string& key, const char* action, int err) {
  char buffer[256];
  // The GNU strerror_r may return a static text instead of filling buffer.
  const char* reason = strerror_r(err, buffer, sizeof(buffer));
  orverrno.set(kIoError, std::string(action) + " key " + key + ": " + reason);
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
