// The store's reading operations.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "beneath.h"
#include "key_files.h"
#include "orv/settings.h"
#include "unique_fd.h"

namespace orv {
namespace setMgmt {

namespace {

using internal::CheckKey;
using internal::OpenBeneath;
using internal::OpenRoot;
using internal::RecordFileError;
using internal::RecordIoError;
using internal::RecordLink;
using internal::RecordReadFailure;
using internal::RecordTooLarge;
using internal::RecordWrongKind;
using internal::UniqueDir;
using internal::UniqueFd;

// ReadAll reads what is left of the regular file `fd` into the empty `text`
// (stopping once it holds more than kMaxValueSize); false with errno set on a
// read error. The buffer starts at the size the
// file claims, plus one byte so that a read can come back short: the text
// keeps no spare capacity (callers hold values for long; a fixed-size chunk
// would be cleared for every value and stay allocated with it), and a value
// is read with one call, as a regular file comes back short only at its end.
bool ReadAll(int fd, std::int64_t size_hint, std::string& text) {
  std::size_t size = text.capacity();  // room that costs no allocation
  if (size_hint > 0 && static_cast<std::uint64_t>(size_hint) < text.max_size() / 2) {
    size = std::max(size, static_cast<std::size_t>(size_hint) + 1);
  }
  std::size_t used = 0;
  while (true) {
    // The file grew since it was measured, or its size is not known.
    if (used == size) size = std::max<std::size_t>(2 * size, 256);
    text.resize(size);
    const std::size_t room = size - used;
    const ssize_t got = ::read(fd, &text[used], room);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    used += static_cast<std::size_t>(got);
    if (static_cast<std::size_t>(got) < room) break;  // the end (or 0 at it)
    if (used > kMaxValueSize) break;                  // too large: no more
  }
  text.resize(used);
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// ParseInt reads `text` as a whole decimal int with optional sign, allowing
// blanks around it. Done by hand because strtol stops at a NUL byte, which a
// value may hold, and accepts what an int can't hold on 64-bit hosts.
bool ParseInt(const std::string& text, int& out) {
  std::size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
  std::int64_t magnitude = 0;
  const std::size_t first_digit = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > limit) return false;
    ++at;
  }
  if (at == first_digit) return false;
  while (at < text.size() && IsBlank(text[at])) ++at;
  if (at != text.size()) return false;
  out = static_cast<int>(negative ? -magnitude : magnitude);
  return true;
}

// IsLink is true for an entry of `dir_fd` that is a symbolic link.
bool IsLink(int dir_fd, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_LNK;
  struct stat info;  // some file systems don't say; ask
  return ::fstatat(dir_fd, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// RecordListFailure sorts out why `key` can't be listed.
int RecordListFailure(int root_fd, const std::string& key, int err) {
  if (err == ENOTDIR && internal::Diagnose(root_fd, key).fault == internal::Fault::kNone) {
    RecordWrongKind(key, "is a value, not a node");
    return -1;
  }
  return RecordReadFailure(root_fd, key, "list", err);
}

}  // namespace

int getKey(const std::string& key, std::string& value) {
  if (!CheckKey(key)) return -1;
  const internal::RootFd root_fd = OpenRoot(key, false);
  if (!root_fd) return -1;
  // O_NONBLOCK: a FIFO planted in the store must not hang the reader.
  const UniqueFd fd(OpenBeneath(root_fd->get(), key, O_RDONLY | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return RecordReadFailure(root_fd->get(), key, "read", errno);
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return RecordFileError(key, "read", errno);
  if (S_ISDIR(info.st_mode)) {
    RecordWrongKind(key, "is a node, not a value");
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    RecordWrongKind(key, "is not a value");
    return -1;
  }
  // Measured before anything is allocated for it.
  if (static_cast<std::uint64_t>(info.st_size) > kMaxValueSize) return RecordTooLarge(key);
  std::string text;
  if (!ReadAll(fd.get(), static_cast<std::int64_t>(info.st_size), text)) {
    RecordIoError(key, "read", errno);
    return -1;
  }
  if (text.size() > kMaxValueSize) return RecordTooLarge(key);  // grew meanwhile
  value.swap(text);
  return static_cast<int>(value.size());
}

std::string getKeyValue(const std::string& key, const std::string& fallback) {
  std::string value;
  if (getKey(key, value) < 0) return fallback;
  return value;  // moved out, not copied as a conditional expression would
}

int getKeyValue(const std::string& key, int fallback) {
  std::string text;
  int number = 0;
  if (getKey(key, text) < 0 || !ParseInt(text, number)) return fallback;
  return number;
}

int enumSubkeys(const std::string& key, std::vector<std::string>& names) {
  if (!CheckKey(key)) return -1;
  const internal::RootFd root_fd = OpenRoot(key, false);
  if (!root_fd) return -1;
  UniqueFd fd(OpenBeneath(root_fd->get(), key, O_RDONLY | O_DIRECTORY));
  if (!fd.valid()) return RecordListFailure(root_fd->get(), key, errno);
  const UniqueDir dir(::fdopendir(fd.get()));
  if (!dir) return RecordFileError(key, "list", errno);
  fd.release();  // the stream owns it now
  const int dir_fd = ::dirfd(dir.get());
  std::vector<std::string> found;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) {
        RecordIoError(key, "list", errno);
        return -1;
      }
      break;
    }
    if (internal::IsHiddenName(entry->d_name)) continue;  // also "." and ".."
    if (IsLink(dir_fd, *entry)) continue;                 // neither node nor value
    found.emplace_back(entry->d_name);
  }
  // std::string compares as unsigned bytes, which is the order promised.
  std::sort(found.begin(), found.end());
  names.insert(names.end(), found.begin(), found.end());
  return static_cast<int>(std::min<std::uint64_t>(found.size(), INT_MAX));
}

int statKey(const std::string& key, storage::NodeInfo& info) {
  if (!CheckKey(key)) return -1;
  const internal::RootFd root_fd = OpenRoot(key, false);
  if (!root_fd) return -1;
  // O_PATH: a link opens as itself, and nothing needs read permission.
  const UniqueFd fd(OpenBeneath(root_fd->get(), key, O_PATH));
  if (!fd.valid()) return RecordReadFailure(root_fd->get(), key, "stat", errno);
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) return RecordFileError(key, "stat", errno);
  if (S_ISLNK(status.st_mode)) return RecordLink(key);
  const bool node = S_ISDIR(status.st_mode);
  info.kind = node ? storage::NodeInfo::kNode : storage::NodeInfo::kValue;
  info.size = node ? 0 : static_cast<std::int64_t>(status.st_size);
  info.mtime_ns = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                  static_cast<std::int64_t>(status.st_mtim.tv_nsec);
  return 0;
}

}  // namespace setMgmt
}  // namespace orv
