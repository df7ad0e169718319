// How keys map onto the files of the host edition's store, and the error
// records the store operations share.

#ifndef ORV_VIRAZEZAZOR_SRC_KEY_FILES_H_
#define ORV_VIRAZEZAZOR_SRC_KEY_FILES_H_

#include <string>
#include <string_view>

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

// RootedKeyFile is KeyFile(root(), key) without copying the root: what a
// read does first, every time.
std::string RootedKeyFile(const std::string& key);

// ChildKey returns the key of child `name` of node `key`.
std::string ChildKey(const std::string& key, std::string_view name);

// The records of orv/settings.h, each naming `key`.
void RecordBadKey(const std::string& key, const char* why);
void RecordNotFound(const std::string& key);
void RecordWrongKind(const std::string& key, const char* what);
void RecordIoError(const std::string& key, const char* action, int err);
// RecordFileError records a failed file operation on `key`: kNotFound when
// `err` says the file or one of its directories is missing, else kIoError.
// Returns -1 so that callers can return it.
int RecordFileError(const std::string& key, const char* action, int err);

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_KEY_FILES_H_
