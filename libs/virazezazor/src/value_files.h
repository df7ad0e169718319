// What the reading side of the store does with a value's file once it is
// open, and how it sorts the entries of a node's directory. Shared by
// getKey, enumSubkeys, the node reader and the watch.

#ifndef ORV_VIRAZEZAZOR_SRC_VALUE_FILES_H_
#define ORV_VIRAZEZAZOR_SRC_VALUE_FILES_H_

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace orv {
namespace setMgmt {
namespace internal {

// ReadValue reads the open file `fd` of `key` (of child `name` of node
// `key` when `name` is not null) into `value` and returns its length, after fstat has shown it to
// be a value: a node (kWrongKind "is a node, not a value"), a special file ("is not a value") or a
// file larger than kMaxValueSize (kTooLarge) is refused, and nothing of it is read. Below 0 on
// failure, with orverrno set and `value` untouched.
int ReadValue(int fd, const std::string& key, const std::string* name, std::string& value);

// ParseInt reads `text` as a whole decimal int with optional sign, allowing
// blanks around it (getKeyValue's integer form).
bool ParseInt(const std::string& text, int& out);

// What an entry of a node's directory is to the store.
enum class EntryKind {
  kValue,    // a regular file
  kNode,     // a directory
  kLink,     // a symbolic link: neither, and left out quietly
  kSpecial,  // a socket, FIFO or device: neither, left out with a warning
  kGone,     // removed before it could be looked at
};

// KindOfMode sorts a file by its st_mode.
EntryKind KindOfMode(mode_t mode);

// KindOfType sorts an entry by its d_type (DT_UNKNOWN gives kGone: ask
// KindOf instead).
EntryKind KindOfType(unsigned char d_type);

// KindOf sorts entry `name` of the open directory `dir_fd` by its listed
// `d_type`, asking the file system where that doesn't say.
EntryKind KindOf(int dir_fd, const char* name, unsigned char d_type);

// ListEntries reads the whole of the open directory `dir_fd` with getdents64
// through `buffer` (of `size` bytes) and calls `take(name, d_type)` for each
// entry, hidden ones ("." and ".." among them) left out. Returns false, with
// errno set, when a read fails.
bool ListEntries(int dir_fd, char* buffer, std::size_t size,
                 const std::function<void(const char* name, unsigned char d_type)>& take);

// WarnSpecial logs (level 2) that the special file at `key` is left out:
// "settings: leaving out <key>: a special file is neither a value nor a node".
void WarnSpecial(const std::string& key);

// RecordNotAValue records the refusal of a node or special file at `key` as
// a value (as ReadValue does) and returns -1.
int RecordNotAValue(const std::string& key, bool node);

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_VALUE_FILES_H_
