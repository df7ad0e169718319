// orv/settings.h: the settings store and its change notifications.
//
// The store is a tree of nodes and values addressed by keys ("/devices/d1/
// display_name"; see orv/path.h). This host edition keeps the tree in a
// directory: a node is a directory, a value a regular file holding the text.
// The directory is, in order of precedence, the one given to set_root, the
// environment variable ORV_SETTINGS_DIR (read once, at first use), or
// /var/lib/orv/settings. The key "/" is that directory itself.
//
// Keys are checked before any file is touched: a key starts with "/", has no
// empty piece (no "//", no trailing "/" except the key "/" itself), and no
// piece starts with "." (so neither "." nor ".." nor the store's own hidden
// files can be named) or holds a NUL byte. Nothing outside the root directory
// is ever read or written.
//
// Every operation is thread-safe and may be called from several processes at
// once: a value is replaced atomically (written to a hidden temporary file and
// renamed over the old one), so a reader sees the old text or the new one,
// never a mix.
//
// Failures return a negative number and record one of these codes in
// orverrno (orv/error.h), with a text naming the key:
//   kBadKey      2  the key breaks the rules above ("bad key ...")
//   kIoError     3  the file system refused ("... : <strerror text>")
//   kNotFound    4  no node or value at the key ("key ... not found")
//   kWrongKind   5  a value where a node is needed or the reverse
//
//   orv::setMgmt::setKey("/devices/d1/display_name", "Kitchen TV");
//   std::string name;
//   if (orv::setMgmt::getKey("/devices/d1/display_name", name) >= 0) ...

#ifndef ORV_SETTINGS_H_
#define ORV_SETTINGS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orv/path.h"

namespace orv {

namespace storage {

// NodeInfo describes what statKey found at a key.
struct NodeInfo {
  enum Kind { kValue = 0, kNode = 1 };
  Kind kind = kValue;
  std::int64_t size = 0;      // bytes of a value's text; 0 for a node
  std::int64_t mtime_ns = 0;  // last change, nanoseconds since the epoch
};

}  // namespace storage

namespace setMgmt {

constexpr int kBadKey = 2;
constexpr int kIoError = 3;
constexpr int kNotFound = 4;
constexpr int kWrongKind = 5;

// set_root makes `directory` the store's root for this process from now on.
// Meant for tests and tools; call it before other threads use the store.
void set_root(const std::string& directory);

// root returns the directory currently serving as the store's root.
std::string root();

// getKey reads the value at `key` into `value` and returns its length (0 or
// more). On failure it returns below 0 and leaves `value` untouched.
int getKey(const std::string& key, std::string& value);

// getKeyValue returns the text at `key`, or `fallback` when it can't be read.
std::string getKeyValue(const std::string& key, const std::string& fallback);

// getKeyValue returns the value at `key` read as a decimal integer, or
// `fallback` when it can't be read or is not wholly an integer that fits an
// int (blanks and a line end around the number are allowed).
int getKeyValue(const std::string& key, int fallback);

// enumSubkeys appends to `names` the names (not full keys) of the direct
// children of the node at `key`, sorted bytewise, hidden entries left out.
// Returns their number, or below 0 when `key` is not a readable node.
int enumSubkeys(const std::string& key, std::vector<std::string>& names);

// statKey fills `info` for the node or value at `key` and returns 0; below 0
// on failure (kNotFound when nothing is there).
int statKey(const std::string& key, storage::NodeInfo& info);

// setKey stores `value` at `key`, creating missing parent nodes. Returns 0, or
// below 0 (kWrongKind when `key` or one of its parents is of the other kind).
int setKey(const std::string& key, const std::string& value);

// deleteKey removes the node or value at `key` with everything below it.
// A watcher sees one deletion of `key`, not one per value below it. Returns 0,
// or below 0 (kNotFound when nothing is there). The root node "/" can't be
// deleted (kBadKey); delete its children instead.
int deleteKey(const std::string& key);

// MonitoredKey watches the tree below one key and reports each changed key to
// a callback.
//
//   orv::setMgmt::MonitoredKey watch;
//   watch.key.add_piece(true, "/devices");
//   watch.events = 0;
//   watch.callback = on_change;      // int on_change(const orv::path& key)
//   watch.recursive = true;
//   ... poll watch.get_fd() for reading, then watch.read_notifications() ...
//
// A change is a value written, or a value or node deleted, at or below `key`.
// Creating a node is not itself a change; the values written into it are (also
// those written before the watch on the new node took hold). A change is
// reported at least once: a value written into a new node just as its watch
// is added is found by the scan of the node and seen by the watch, and is
// then reported twice.
//
// Not thread-safe: one thread owns a MonitoredKey.
class MonitoredKey {
 public:
  using Callback = int (*)(const orv::path& key);

  MonitoredKey();
  MonitoredKey(const MonitoredKey&) = delete;
  MonitoredKey& operator=(const MonitoredKey&) = delete;
  ~MonitoredKey();  // cancels the watch

  // The watched key.
  orv::path key;
  // Which changes to report; 0 (the only value defined) means every change.
  std::uint32_t events = 0;
  // Called once per changed key, on the thread of read_notifications. Its
  // result is not used. An exception it throws is caught and logged at level
  // 0; the remaining changes are still reported.
  Callback callback = nullptr;
  // true: watch the whole tree below `key`; false: only its direct children.
  bool recursive = false;

  // get_fd returns a descriptor that turns readable while changes are
  // pending, setting the watch up on first use. It returns below 1 while the
  // watched node does not exist, and exactly once after the watch was lost
  // (the watched node deleted, or the kernel's event queue overflowed): a
  // client that sees this has missed changes and should read the tree anew.
  int get_fd();

  // read_notifications reports every pending change to `callback` and returns
  // how many it reported; it never blocks. Below 0 when there is no watch.
  int read_notifications();

  // cancel drops the watch and closes the descriptor. Returns 0.
  int cancel();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_SETTINGS_H_
