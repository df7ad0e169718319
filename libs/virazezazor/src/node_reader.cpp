// NodeReader and ReadPass (orv/settings_reader.h).

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "key_files.h"
#include "orv/settings.h"
#include "orv/settings_reader.h"
#include "root_pin.h"
#include "unique_fd.h"
#include "value_files.h"

namespace orv {
namespace setMgmt {

using internal::UniqueFd;

namespace {

// Flags of a value's open: one name, never a link; O_NONBLOCK so that a FIFO
// put there since the listing can't hang the reader.
constexpr int kValueFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kNodeFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Room for a few hundred entries per getdents64: a device's node takes one.
constexpr std::size_t kListBuffer = 16 * 1024;

}  // namespace

struct ReadPass::State {
  explicit State(const std::string& key) : pin(key) {}
  internal::ScopedRootPin pin;
};

ReadPass::ReadPass() : state_(new State("/")) {}

ReadPass::~ReadPass() = default;

NodeReader::NodeReader(const std::string& key) : key_(key) { OpenByKey(); }

NodeReader::NodeReader(NodeReader& parent, const std::string& name)
    : key_(internal::ChildKey(parent.key_, name)) {
  if (parent.fd_ >= 0) {
    const Entry* entry = parent.Find(name);
    // Not there: nothing to list. A link: refused the long way, by key.
    if (entry == nullptr || entry->type == DT_LNK) return;
    fd_ = internal::KeepAbove2(::openat(parent.fd_, name.c_str(), kNodeFlags));
    if (fd_ >= 0) {
      List();
      return;
    }
    // Gone (perhaps with a root replaced under the pass) or short of
    // descriptors: opened by key. Otherwise found out by key, read by read.
    if (errno != ENOENT && !parent.ShortOfDescriptors()) return;
  }
  OpenByKey();
}

bool NodeReader::ShortOfDescriptors() {
  if (errno != EMFILE && errno != ENFILE) return false;
  // The parent's directory is given up so that a reader can work with the
  // one descriptor a key-by-key read needs: from now on it reads by key.
  ::close(fd_);
  fd_ = -1;
  return true;
}

void NodeReader::OpenByKey() {
  if (!internal::CheckKey(key_)) return;
  internal::RootFd root;
  UniqueFd fd(internal::OpenInRoot(key_, O_RDONLY | O_DIRECTORY, root));
  if (!fd.valid()) return;
  fd_ = fd.release();
  List();
}

NodeReader::~NodeReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool NodeReader::List() {
  // On the stack and left uninitialised: a reader is made per device.
  alignas(dirent64) char buffer[kListBuffer];
  const bool listed = internal::ListEntries(fd_, buffer, sizeof buffer,
                                            [this](const char* name, unsigned char type) {
                                              entries_.push_back(Entry{name, type});
                                            });
  if (!listed) {
    ::close(fd_);
    fd_ = -1;
    entries_.clear();
    return false;
  }
  std::sort(entries_.begin(), entries_.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return true;
}

const NodeReader::Entry* NodeReader::Find(const std::string& name) const {
  const auto found =
      std::lower_bound(entries_.begin(), entries_.end(), name,
                       [](const Entry& e, const std::string& n) { return e.name < n; });
  return found != entries_.end() && found->name == name ? &*found : nullptr;
}

std::vector<std::string> NodeReader::names() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const Entry& entry : entries_) {
    switch (internal::KindOf(fd_, entry.name.c_str(), entry.type)) {
      case internal::EntryKind::kValue:
      case internal::EntryKind::kNode:
        out.push_back(entry.name);
        break;
      case internal::EntryKind::kSpecial:
        internal::WarnSpecial(internal::ChildKey(key_, entry.name));
        break;
      default:
        break;
    }
  }
  return out;
}

int NodeReader::ReadByKey(const std::string& name, std::string& value) {
  return setMgmt::getKey(internal::ChildKey(key_, name), value);
}

int NodeReader::getKey(const std::string& name, std::string& value) {
  if (fd_ < 0) return ReadByKey(name, value);
  const Entry* entry = Find(name);
  if (entry == nullptr) {
    internal::RecordNotFound(internal::ChildKey(key_, name));
    return -1;
  }
  // The listing's type spares a special file its open; the open's own checks
  // below decide for everything else.
  switch (entry->type) {
    case DT_REG:
    case DT_UNKNOWN:
      break;
    case DT_LNK:
      ++unreadable_;
      return internal::RecordLink(internal::ChildKey(key_, name));
    default:
      ++unreadable_;
      return internal::RecordNotAValue(internal::ChildKey(key_, name), entry->type == DT_DIR);
  }
  const UniqueFd fd(::openat(fd_, name.c_str(), kValueFlags));
  if (!fd.valid()) {
    // Gone since the listing, or the root replaced under the pass: the whole
    // key finds out (and looks at the root again).
    if (errno == ENOENT || ShortOfDescriptors()) return ReadByKey(name, value);
    ++unreadable_;
    if (errno == ELOOP) return internal::RecordLink(internal::ChildKey(key_, name));
    return internal::RecordFileError(internal::ChildKey(key_, name), "read", errno);
  }
  const int read = internal::ReadValue(fd.get(), key_, &name, value);
  if (read < 0) ++unreadable_;
  return read;
}

std::string NodeReader::getKeyValue(const std::string& name, const std::string& fallback) {
  std::string value;
  if (getKey(name, value) < 0) return fallback;
  return value;
}

int NodeReader::getKeyValue(const std::string& name, int fallback) {
  std::string text;
  int number = 0;
  if (getKey(name, text) < 0 || !internal::ParseInt(text, number)) return fallback;
  return number;
}

}  // namespace setMgmt
}  // namespace orv
