#include "value_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "key_files.h"
#include "orv/log.h"
#include "orv/settings.h"

namespace orv {
namespace setMgmt {
namespace internal {

namespace {

// ReadAll reads what is left of the regular file `fd` into the empty `text`
// (stopping once it holds more than kMaxValueSize); false with errno set on a
// read error. The buffer starts at the size the file claims, plus one byte
// so that a read can come back short: the text keeps no spare capacity
// (callers hold values for long; a fixed-size chunk would be cleared for
// every value and stay allocated with it), and a value is read with one
// call, as a regular file comes back short only at its end.
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

}  // namespace

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

int RecordNotAValue(const std::string& key, bool node) {
  RecordWrongKind(key, node ? "is a node, not a value" : "is not a value");
  return -1;
}

int ReadValue(int fd, const std::string& key, const std::string* name, std::string& value) {
  // The whole key is made only for a failure's record.
  const auto whole = [&key, name] { return name == nullptr ? key : ChildKey(key, *name); };
  struct stat info;
  if (::fstat(fd, &info) != 0) return RecordFileError(whole(), "read", errno);
  if (!S_ISREG(info.st_mode)) return RecordNotAValue(whole(), S_ISDIR(info.st_mode));
  // Measured before anything is allocated for it.
  if (static_cast<std::uint64_t>(info.st_size) > kMaxValueSize) return RecordTooLarge(whole());
  std::string text;
  if (!ReadAll(fd, static_cast<std::int64_t>(info.st_size), text)) {
    const int err = errno;
    RecordIoError(whole(), "read", err);
    return -1;
  }
  if (text.size() > kMaxValueSize) return RecordTooLarge(whole());  // grew meanwhile
  value.swap(text);
  return static_cast<int>(value.size());
}

EntryKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kValue;
  if (S_ISDIR(mode)) return EntryKind::kNode;
  if (S_ISLNK(mode)) return EntryKind::kLink;
  return EntryKind::kSpecial;
}

EntryKind KindOfType(unsigned char d_type) {
  switch (d_type) {
    case DT_REG:
      return EntryKind::kValue;
    case DT_DIR:
      return EntryKind::kNode;
    case DT_LNK:
      return EntryKind::kLink;
    case DT_UNKNOWN:
      return EntryKind::kGone;
    default:
      return EntryKind::kSpecial;
  }
}

EntryKind KindOf(int dir_fd, const char* name, unsigned char d_type) {
  // Some file systems don't say; ask.
  if (d_type != DT_UNKNOWN) return KindOfType(d_type);
  struct stat info;
  if (::fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kGone;
  return KindOfMode(info.st_mode);
}

bool ListEntries(int dir_fd, char* buffer, std::size_t size,
                 const std::function<void(const char* name, unsigned char d_type)>& take) {
  while (true) {
    const ssize_t got = ::getdents64(dir_fd, buffer, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    for (ssize_t at = 0; at < got;) {
      dirent64 entry;  // copied out: the buffer promises no alignment
      std::memcpy(&entry, buffer + at, offsetof(dirent64, d_name));
      const char* const name = buffer + at + offsetof(dirent64, d_name);
      at += entry.d_reclen;
      if (!IsHiddenName(name)) take(name, entry.d_type);
    }
  }
}

void WarnSpecial(const std::string& key) {
  if (log::current_level < log::kNotice) return;
  log::print(0, log::kNotice,
             "settings: leaving out " + key + ": a special file is neither a value nor a node");
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
