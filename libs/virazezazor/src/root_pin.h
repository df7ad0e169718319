// The store's root as one thread sees it while a walk or a watch is under
// way: checked once, then taken as it is.
//
// Every store call needs the root directory. Asked for by name, it costs a
// stat per call (the root may have been replaced, or its link re-pointed).
// A load reads thousands of values, and the sync thread reads one or two per
// change while its watch holds one root, so both pin the root for their
// thread: the store's calls on that thread then take the pinned directory
// without a look at the name, and look again only after an open failed
// (the root may have been replaced under them: see ReplacedRoot).
//
// The pin is the one piece of per-thread state of the store. It never
// outlives what set it: a scoped pin restores the one before it, and a
// watch's pin expires the moment the watch lets go of its root, whichever
// thread that happens on.
//
//   internal::ScopedRootPin pin("/devices");   // one check of the root
//   ... getKey, enumSubkeys, statKey on this thread use it ...

#ifndef ORV_VIRAZEZAZOR_SRC_ROOT_PIN_H_
#define ORV_VIRAZEZAZOR_SRC_ROOT_PIN_H_

#include <memory>
#include <string>

#include "key_files.h"

namespace orv {
namespace setMgmt {
namespace internal {

// A root held for a pin. Shared: a scoped pin and a watch both hold one.
struct PinnedRoot {
  RootFd fd;
};
using RootPin = std::shared_ptr<const PinnedRoot>;

// PinRoot pins `pin` for the calling thread until it is released (its last
// owner drops it) or another pin replaces it. Returns the pin it replaced,
// which may have expired.
std::weak_ptr<const PinnedRoot> PinRoot(const RootPin& pin);

// RestorePin puts back a pin that PinRoot returned.
void RestorePin(std::weak_ptr<const PinnedRoot> previous);

// StoreRoot gives the root directory for a call on `key`: the thread's
// pinned one (`pinned` set), else OpenRoot's (which records why on failure
// and returns null).
RootFd StoreRoot(const std::string& key, bool& pinned);

// RootReplaced looks at the root's name again, for a call whose open below
// the pinned `root` failed: true when the name now gives another directory
// (`root` becomes it: try once more there) or none (`root` becomes null,
// with the root's error recorded); false when it is still `root`, with
// errno as it was.
bool RootReplaced(const std::string& key, RootFd& root);

// OpenBelow opens `key` below `root` (from StoreRoot, with its `pinned`)
// with OpenBeneath's `flags`. When the root was pinned and the open fails,
// the root's name is looked at again: below a directory that replaced the
// pinned one the open is tried once more (and `root` becomes it); when the
// root is gone, `root` is left null with the root's error recorded.
// Otherwise a failure returns an invalid descriptor with errno set.
UniqueFd OpenBelow(const std::string& key, int flags, RootFd& root, bool pinned);

// OpenInRoot opens `key` below the store's root (OpenBeneath's `flags`) and
// leaves in `root` the root it was opened below. When the root was pinned
// and the open fails, the root's name is looked at again: below a directory
// that replaced the pinned one the open is tried once more; when the root is
// gone, `root` is left null with the root's error recorded. Otherwise a
// failure returns an invalid descriptor with errno set and orverrno alone.
UniqueFd OpenInRoot(const std::string& key, int flags, RootFd& root);

// ScopedRootPin checks the root once (by name) and pins it for the calling
// thread while it lives; the pin before it comes back at its end. When the
// root can't be opened nothing is pinned and calls find out for themselves.
class ScopedRootPin {
 public:
  explicit ScopedRootPin(const std::string& key);
  ScopedRootPin(const ScopedRootPin&) = delete;
  ScopedRootPin& operator=(const ScopedRootPin&) = delete;
  ~ScopedRootPin();

 private:
  RootPin pin_;
  std::weak_ptr<const PinnedRoot> previous_;
};

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_ROOT_PIN_H_
