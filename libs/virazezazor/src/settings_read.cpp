// The store's reading operations.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "key_files.h"
#include "orv/settings.h"
#include "unique_fd.h"

namespace orv {
namespace setMgmt {

namespace {

using internal::CheckKey;
using internal::RecordFileError;
using internal::RecordIoError;
using internal::RecordWrongKind;
using internal::RootedKeyFile;
using internal::UniqueDir;
using internal::UniqueFd;

// ReadAll reads what is left of the regular file `fd` into the empty `text`;
// false with errno set on a read error. The buffer starts at the size the
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

// RecordListFailure sorts out why `file` of `key` can't be listed.
int RecordListFailure(const std::string& key, const std::string& file, int err) {
  struct stat info;
  if (err == ENOTDIR && ::stat(file.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
    RecordWrongKind(key, "is a value, not a node");
    return -1;
  }
  return RecordFileError(key, "list", err);
}

}  // namespace

int getKey(const std::string& key, std::string& value) {
  if (!CheckKey(key)) return -1;
  // O_NONBLOCK: a FIFO planted in the store must not hang the reader.
  const UniqueFd fd(
      ::open(RootedKeyFile(key).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return RecordFileError(key, "read", errno);
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
  std::string text;
  if (!ReadAll(fd.get(), static_cast<std::int64_t>(info.st_size), text)) {
    RecordIoError(key, "read", errno);
    return -1;
  }
  value.swap(text);
  return static_cast<int>(std::min<std::uint64_t>(value.size(), INT_MAX));
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
  const std::string file = RootedKeyFile(key);
  const UniqueDir dir(::opendir(file.c_str()));
  if (!dir) return RecordListFailure(key, file, errno);
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
    found.emplace_back(entry->d_name);
  }
  // std::string compares as unsigned bytes, which is the order promised.
  std::sort(found.begin(), found.end());
  names.insert(names.end(), found.begin(), found.end());
  return static_cast<int>(std::min<std::uint64_t>(found.size(), INT_MAX));
}

int statKey(const std::string& key, storage::NodeInfo& info) {
  if (!CheckKey(key)) return -1;
  struct stat status;
  if (::stat(RootedKeyFile(key).c_str(), &status) != 0) {
    return RecordFileError(key, "stat", errno);
  }
  const bool node = S_ISDIR(status.st_mode);
  info.kind = node ? storage::NodeInfo::kNode : storage::NodeInfo::kValue;
  info.size = node ? 0 : static_cast<std::int64_t>(status.st_size);
  info.mtime_ns = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                  static_cast<std::int64_t>(status.st_mtim.tv_nsec);
  return 0;
}

}  // namespace setMgmt
}  // namespace orv
