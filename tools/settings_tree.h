// settings_tree.h: orv-settings' work on whole subtrees of the store: the
// indented listing, and the JSON export and import.
//
// The JSON form of a subtree: a node is an object whose members are its
// children, a value is a string. Node names appear as the store lists them,
// so an exported document imported again writes the same keys; names from a
// hand-written document are escaped as one node name each ("a/b" becomes
// "a%2Fb", a leading "." becomes "%2E"). Numbers are stored as their decimal
// text. An empty object writes nothing: the store has no empty nodes of its
// own making.

#ifndef ORV_TOOLS_SETTINGS_TREE_H_
#define ORV_TOOLS_SETTINGS_TREE_H_

#include <cstdio>
#include <string>

namespace orv_tools {

// Exit statuses of orv-settings.
constexpr int kExitOk = 0;
constexpr int kExitMissing = 1;  // no node or value at the key
constexpr int kExitUsage = 2;    // bad usage, a bad key, or a bad document
constexpr int kExitFailed = 3;   // the store's files, or the document's, can't be used

// StoreFailure prints the store's last error (orverrno, which names the key
// and the reason) as one line on stderr and returns the matching exit status.
int StoreFailure();

// Fail prints "orv-settings: <message>" on stderr and returns `status`.
int Fail(int status, const std::string& message);

// ListTree prints the value or the tree at `key` to `out`, one entry a line,
// indented two blanks per level. Returns an exit status.
int ListTree(const std::string& key, std::FILE* out);

// ExportTree prints the JSON form of the tree (or the value) at `key`.
int ExportTree(const std::string& key, std::FILE* out);

// ImportFile reads a JSON document from `file` ("-" is stdin) and writes it
// at `key`: an object's members below the node `key`, a string or a number as
// the value at `key`. The whole document is checked before anything is
// written. Existing keys not in the document are left alone.
int ImportFile(const std::string& file, const std::string& key);

}  // namespace orv_tools

#endif  // ORV_TOOLS_SETTINGS_TREE_H_
