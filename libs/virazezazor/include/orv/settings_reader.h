// orv/settings_reader.h: reading many values of a few nodes, for loaders.
//
// getKey and enumSubkeys (orv/settings.h) take a whole key each time: the
// store checks its root and resolves every piece for each value. A loader
// that reads a dozen values of each of thousands of nodes uses these
// instead, with the same results:
//
//   orv::setMgmt::ReadPass pass;                  // the root looked at once
//   orv::setMgmt::NodeReader device("/devices/d1");
//   std::string name = device.getKeyValue("display_name", std::string());
//   orv::setMgmt::NodeReader macs(device, "macs");
//   for (const std::string& mac : macs.names()) macs.getKey(mac, ip);
//
// A NodeReader opens its node's directory once and lists it once; a value is
// then opened by its one name relative to that directory, never through a
// symbolic link, and checked like getKey checks it. When descriptors run
// short it reads key by key, as getKey does. What getKey refuses it
// refuses, with the same orverrno record naming the value's whole key: a
// symbolic link (kSymbolicLink), a node or a special file (kWrongKind), a
// value larger than kMaxValueSize (kTooLarge), a name not there (kNotFound).
// A special file is never opened. A name the listing holds is read as it is
// at the time of the read.
//
// Not thread-safe: one thread uses a reader (and its ReadPass).

#ifndef ORV_SETTINGS_READER_H_
#define ORV_SETTINGS_READER_H_

#include <memory>
#include <string>
#include <vector>

#include "orv/virazezazor_export.h"

namespace orv {
namespace setMgmt {

// ReadPass looks at the store's root once (whether its name still gives the
// directory the store holds) and, while it lives, the store's reading calls
// on the calling thread take that directory as the root without looking
// again, except after an open that failed: a root replaced meanwhile (a
// restore that swapped the directory, a re-pointed link) is then found and
// the open tried once more below the new one. Passes nest; the one before
// comes back at the end of this one.
class VIRAZEZAZOR_EXPORT ReadPass {
 public:
  ReadPass();
  ReadPass(const ReadPass&) = delete;
  ReadPass& operator=(const ReadPass&) = delete;
  ~ReadPass();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class VIRAZEZAZOR_EXPORT NodeReader {
 public:
  // NodeReader opens the node at `key`. When it can't (no node there, or
  // not readable) every read through it behaves as getKey on the whole key.
  explicit NodeReader(const std::string& key);
  // NodeReader opens child node `name` (one listed name) of `parent`. Should
  // descriptors run short, `parent` gives its own up and goes on by key.
  NodeReader(NodeReader& parent, const std::string& name);
  NodeReader(const NodeReader&) = delete;
  NodeReader& operator=(const NodeReader&) = delete;
  ~NodeReader();

  // names returns the names of the node's children as enumSubkeys lists
  // them (sorted bytewise; hidden entries and links left out, special files
  // left out with a warning); empty when the node couldn't be opened.
  std::vector<std::string> names() const;

  // getKey reads value `name` (one name, as listed) of the node into
  // `value` and returns its length; below 0 as getKey does for the key
  // <node>/<name>, `value` untouched.
  int getKey(const std::string& name, std::string& value);
  // getKeyValue: the text of value `name`, or `fallback`.
  std::string getKeyValue(const std::string& name, const std::string& fallback);
  // getKeyValue: value `name` read as orv::setMgmt::getKeyValue reads an
  // integer, or `fallback`.
  int getKeyValue(const std::string& name, int fallback);

  // unreadable counts the values this reader found in its node but could
  // not read (refused, or failed): not those that simply aren't there.
  int unreadable() const { return unreadable_; }

 private:
  struct Entry {
    std::string name;
    unsigned char type;  // the listing's d_type
  };
  // OpenByKey opens the node at key_ the way getKey reaches a key.
  void OpenByKey();
  // List lists the open directory fd_; false (fd_ closed) on failure.
  bool List();
  const Entry* Find(const std::string& name) const;
  // ShortOfDescriptors is true, with the directory closed (reads go by key
  // from now on), when errno says descriptors ran out.
  bool ShortOfDescriptors();
  // ReadByKey reads value `name` through getKey and the whole key.
  int ReadByKey(const std::string& name, std::string& value);

  std::string key_;
  int fd_ = -1;                 // the node's directory; -1 when not open
  std::vector<Entry> entries_;  // sorted by name
  int unreadable_ = 0;
};

}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_SETTINGS_READER_H_
