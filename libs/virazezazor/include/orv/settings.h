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
// Symbolic links are never followed below the root (the root itself may be
// reached through one: where it lives is the deployment's choice). A link
// where a node or value should be is refused (kSymbolicLink, naming the key
// of the link); listings leave links out; deleting a node that holds links
// removes the links, never what they point to.
//
// Every operation is thread-safe and may be called from several processes at
// once: a value is replaced atomically (written to a hidden temporary file
// beside it, synced, and renamed over the old one), so a reader sees the old
// text or the new one, never a mix. A change that returned success is on the
// disk: after a power cut each value holds the old text or the new one, never
// an empty or partial text. A process killed midway may leave such hidden
// files, or a deleted node's tree in a hidden ".trash" directory (of the root,
// or of the topmost node of a file system mounted below it): the store
// removes those older than ten minutes whose process is gone when it next
// writes or deletes in that directory.
//
// Failures return a negative number and record one of these codes in
// orverrno (orv/error.h), with a text naming the key:
//   kBadKey      2  the key breaks the rules above ("bad key ...")
//   kIoError     3  the file system refused ("... : <strerror text>")
//   kNotFound    4  no node or value at the key ("key ... not found")
//   kWrongKind   5  a value where a node is needed or the reverse
//   kSymbolicLink 6 a piece of the key is a symbolic link
//                   ("key /devices/evil is a symbolic link")
//   kTooLarge    7  a value longer than kMaxValueSize, read or written
//                   ("value of /devices/x/y is larger than 1048576 bytes")
// When the root directory itself is the problem (missing, not a directory,
// unreadable) the text names it: "settings root /nonexistent: No such file or
// directory" (a read then records kNotFound for a missing root, with that
// text after "key ... not found: ").
//
//   orv::setMgmt::setKey("/devices/d1/display_name", "Kitchen TV");
//   std::string name;
//   if (orv::setMgmt::getKey("/devices/d1/display_name", name) >= 0) ...

#ifndef ORV_SETTINGS_H_
#define ORV_SETTINGS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "orv/path.h"
#include "orv/virazezazor_export.h"

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
constexpr int kSymbolicLink = 6;
constexpr int kTooLarge = 7;

// The largest value the store reads or writes, in bytes (1 MiB).
constexpr std::size_t kMaxValueSize = 1024 * 1024;

// set_root makes `directory` the store's root for this process from now on
// and returns 0. An empty `directory` (which would make "/" the store) is
// refused: the root stays what it was, kBadKey is recorded ("bad settings
// root \"\": empty") and the result is below 0. Meant for tests and tools;
// call it before other threads use the store.
VIRAZEZAZOR_EXPORT int set_root(const std::string& directory);

// root returns the directory currently serving as the store's root.
VIRAZEZAZOR_EXPORT std::string root();

// getKey reads the value at `key` into `value` and returns its length (0 or
// more). On failure it returns below 0 and leaves `value` untouched; a value
// larger than kMaxValueSize is not read (kTooLarge). A value where a node
// should be on the way to `key` makes it not found (kNotFound).
VIRAZEZAZOR_EXPORT int getKey(const std::string& key, std::string& value);

// getKeyValue returns the text at `key`, or `fallback` when it can't be read.
VIRAZEZAZOR_EXPORT std::string getKeyValue(const std::string& key, const std::string& fallback);

// getKeyValue returns the value at `key` read as a decimal integer, or
// `fallback` when it can't be read or is not wholly an integer that fits an
// int (blanks and a line end around the number are allowed).
VIRAZEZAZOR_EXPORT int getKeyValue(const std::string& key, int fallback);

// enumSubkeys appends to `names` the names (not full keys) of the direct
// children of the node at `key`, sorted bytewise, hidden entries and symbolic
// links left out.
// Returns their number, or below 0 when `key` is not a readable node.
VIRAZEZAZOR_EXPORT int enumSubkeys(const std::string& key, std::vector<std::string>& names);

// statKey fills `info` for the node or value at `key` and returns 0; below 0
// on failure (kNotFound when nothing is there).
VIRAZEZAZOR_EXPORT int statKey(const std::string& key, storage::NodeInfo& info);

// setKey stores `value` at `key`, creating missing parent nodes. Returns 0, or
// below 0 (kWrongKind when `key` or one of its parents is of the other kind,
// kTooLarge when `value` is larger than kMaxValueSize; kIoError "sync key
// <node>: ..." when the value is in place but the disk refused to keep it).
// A parent node deleted by another caller before the value is written into
// it is made again (a bounded number of times); deleted after, the value
// goes with it (the write happened first) and the result is 0.
VIRAZEZAZOR_EXPORT int setKey(const std::string& key, const std::string& value);

// setKeys stores each value of `values` (key, text) as setKey does, all or
// none: when one can't be written (a bad key, a value where a node is needed
// or the reverse, too large a value, a full disk) the tree is left as it was,
// and the result is below 0 with orverrno naming that key. Returns 0 once
// every value is in place and on the disk. Not a transaction against other
// callers: they may see the values land one by one, and a node another
// caller makes where a value goes, while the values land, stops the batch
// with the values before it in place.
VIRAZEZAZOR_EXPORT int setKeys(const std::vector<std::pair<std::string, std::string>>& values);

// deleteKey removes the node or value at `key` with everything below it.
// A watcher sees one deletion of `key`, not one per value below it (unless
// the file system is too full for the store's hidden trash directory: the
// tree is then removed in place). Returns 0, or below 0 (kNotFound when
// nothing is there; kIoError "delete key <key>: Device or resource busy" for
// a node that is a mount point; kIoError "sync key ..." when the key is gone
// but the disk refused to keep that). The root node "/" can't be deleted
// (kBadKey); delete its children instead.
VIRAZEZAZOR_EXPORT int deleteKey(const std::string& key);

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
class VIRAZEZAZOR_EXPORT MonitoredKey {
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
  //
  // Test aid: with the environment variable
  // ORV_SETTINGS_UNGUARDED_CALLBACKS=1 when the MonitoredKey is constructed,
  // exceptions are not caught: the first one leaves read_notifications and
  // the changes after it in that call are not reported (as with a utility
  // library that promises no catch). It shows whether a client contains its
  // subscribers' exceptions itself.
  Callback callback = nullptr;
  // true: watch the whole tree below `key`; false: only its direct children.
  bool recursive = false;

  // get_fd returns a descriptor that turns readable while changes are
  // pending, setting the watch up on first use; the descriptor is never 0, 1
  // or 2. It returns below 1 while the watched node does not exist (or can't
  // be watched: a symbolic link, no watches left), and exactly once after the
  // watch was lost (the watched node deleted, or the kernel's event queue
  // overflowed): a client that sees this has missed changes and should read
  // the tree anew.
  //
  // Each time it returns below 1 it records why in orverrno (e.g. kNotFound,
  // "cannot watch /var/lib/orv/settings/devices: No such file or
  // directory"); why it can't set the watch up is also logged at level 0,
  // once per change of reason ("settings: cannot watch <directory>:
  // <reason>"), and a line of level 2 says when watching works again.
  //
  // A watch takes one inotify watch per node at or below `key` (with
  // `recursive`; else one): watching /devices takes 1 + the number of devices
  // + one per device holding a "macs" node, all counted against the user's
  // fs.inotify.max_user_watches. When they run out the watch is lost as
  // above (changes below the node left unwatched would go unreported), and
  // while the limit holds get_fd tries again only after a back-off of 1 s,
  // doubling up to a minute (the first step is ORV_SETTINGS_WATCH_BACKOFF_MS
  // milliseconds instead when the environment says so, read once: for tests).
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
