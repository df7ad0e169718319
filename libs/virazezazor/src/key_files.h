// How keys map onto the files of the host edition's store, and the error
// records the store operations share.

#ifndef ORV_VIRAZEZAZOR_SRC_KEY_FILES_H_
#define ORV_VIRAZEZAZOR_SRC_KEY_FILES_H_

#include <memory>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace orv {
namespace setMgmt {
namespace internal {

// CheckKey is true when `key` follows the store's rules; otherwise it records
// kBadKey in orverrno and returns false.
bool CheckKey(const std::string& key);

// IsHiddenName is true for names the store keeps for itself.
inline bool IsHiddenName(std::string_view name) { return !name.empty() && name.front() == '.'; }

// KeyFile returns the file of a checked key under `root_dir`.
std::string KeyFile(const std::string& root_dir, const std::string& key);

// ChildKey returns the key of child `name` of node `key`.
std::string ChildKey(const std::string& key, std::string_view name);

// ParentKey returns the key of the node holding the checked key `key` ("/"
// for "/x"); LastPiece the name of `key` in that node.
std::string ParentKey(const std::string& key);
std::string LastPiece(const std::string& key);

// The records of orv/settings.h, each naming `key`.
void RecordBadKey(const std::string& key, const char* why);
void RecordNotFound(const std::string& key);
void RecordWrongKind(const std::string& key, const char* what);
void RecordIoError(const std::string& key, const char* action, int err);
// ErrorText is strerror's text for `err`.
std::string ErrorText(int err);
// RecordLink records kSymbolicLink for the link at `link_key`; RecordTooLarge
// kTooLarge for the value at `key`. Both return -1.
int RecordLink(const std::string& link_key);
int RecordTooLarge(const std::string& key);

// The store's open root directory, shared by the calls that use it.
using RootFd = std::shared_ptr<const UniqueFd>;

// OpenRoot gives the store's root directory for an operation on `key`,
// opened once and kept (at descriptor 3 or above) while the directory of
// that name stays the same one. When `create`, a missing root is made (not
// its parents). On failure it records an error naming the root (kNotFound
// for a missing root unless `create`, else kIoError) and returns null.
RootFd OpenRoot(const std::string& key, bool create);

// RecordReadFailure records why `key` below `root_fd` could not be opened
// for reading with error `err`: kSymbolicLink at a link, kNotFound when a
// piece is missing or a value stands where a node should, else as
// RecordFileError. RecordWriteFailure is the same for writing, with
// kWrongKind for a value on the way and kIoError otherwise. Both return -1.
int RecordReadFailure(int root_fd, const std::string& key, const char* action, int err);
int RecordWriteFailure(int root_fd, const std::string& key, const char* action, int err);

// RecordFileError records a failed file operation on `key`: kNotFound when
// `err` says the file or one of its directories is missing, else kIoError.
// Returns -1 so that callers can return it.
int RecordFileError(const std::string& key, const char* action, int err);

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_KEY_FILES_H_
