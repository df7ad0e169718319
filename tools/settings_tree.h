// settings_tree.h: orv-settings' work on whole subtrees of the store: the
// indented listing, the flat key=value lines, and the JSON export and import.
//
// The JSON form of a subtree: a node is an object whose members are its
// children, a value is a string. Node names appear as the store lists them,
// so an exported document imported again writes the same keys; names from a
// hand-written document are escaped as one node name each ("a/b" becomes
// "a%2Fb", a leading "." becomes "%2E"). Numbers are stored as their text:
// an integer's digits, a real number's shortest text that reads back as the
// same number. An empty object writes nothing: the store has no empty nodes
// of its own making.
//
// Text that is not UTF-8 (JSON can't hold it) goes by its hex form: such a
// value as the array ["<hex>"], a child with such a name as a member of its
// node's member "" (a name the store never has), named by the hex form:
//   {"ok": "1", "": {"ff6869": ["c328"]}}

#ifndef ORV_TOOLS_SETTINGS_TREE_H_
#define ORV_TOOLS_SETTINGS_TREE_H_

#include <cstdio>
#include <string>

#include "command_line.h"

namespace orv_tools {

// StoreFailure prints the store's last error (orverrno, which names the key
// and the reason) as one line on stderr and returns the matching exit status.
int StoreFailure();

// Fail is orv-settings' failure line: "orv-settings: <message>" on stderr,
// made printable, and returns `status`.
int Fail(int status, const std::string& message);

// How a listing shows the tree.
enum class Listing {
  kIndented,  // ls: the key, then one entry a line, two blanks per level,
              // "name/" for a node, "name = value" for a value
  kFlat,      // show: one "key=value" line per value, full keys
  kJson,      // ls --json: a JSON object per entry, {"key":K,"node":true}
              // or {"key":K,"value":V}
  kFlatJson,  // show --json: {"key":K,"value":V} per value
};

// ListTree prints the value or the tree at `key` to `out`, in the order the
// store lists names; the text forms show names and values made printable
// (see terminal_text.h). Returns an exit status.
int ListTree(const std::string& key, Listing listing, std::FILE* out);

// ExportTree prints the JSON form of the tree (or the value) at `key`.
int ExportTree(const std::string& key, std::FILE* out);

// ImportFile reads a JSON document from `file` ("-" is stdin) and writes it
// at `key`: an object's members below the node `key`, a string or a number as
// the value at `key`. Everything the store could refuse is checked before
// anything is written: the keys (absolute, names at most 255 bytes once
// escaped), names that are one node once escaped ("a/b" and "a%2Fb") or
// repeated, and a value of the store where the document has a node or the
// reverse. Existing keys not in the document are left alone.
int ImportFile(const std::string& file, const std::string& key);

}  // namespace orv_tools

#endif  // ORV_TOOLS_SETTINGS_TREE_H_
