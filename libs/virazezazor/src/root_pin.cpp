#include "root_pin.h"

#include <utility>

#include "beneath.h"

namespace orv {
namespace setMgmt {
namespace internal {

namespace {

// The calling thread's pin; weak, so that it expires with its owner.
thread_local std::weak_ptr<const PinnedRoot> t_pin;

}  // namespace

std::weak_ptr<const PinnedRoot> PinRoot(const RootPin& pin) {
  std::weak_ptr<const PinnedRoot> previous = std::move(t_pin);
  t_pin = pin;
  return previous;
}

void RestorePin(std::weak_ptr<const PinnedRoot> previous) { t_pin = std::move(previous); }

RootFd StoreRoot(const std::string& key, bool& pinned) {
  if (const RootPin pin = t_pin.lock()) {
    pinned = true;
    return pin->fd;
  }
  pinned = false;
  return OpenRoot(key, false);
}

UniqueFd OpenInRoot(const std::string& key, int flags, RootFd& root) {
  bool pinned = false;
  root = StoreRoot(key, pinned);
  if (!root) return UniqueFd();
  return OpenBelow(key, flags, root, pinned);
}

bool RootReplaced(const std::string& key, RootFd& root) {
  const int err = errno;
  RootFd now = OpenRoot(key, false);
  if (now == root) {
    errno = err;
    return false;
  }
  root = std::move(now);  // null when the root is gone: OpenRoot said why
  return true;
}

UniqueFd OpenBelow(const std::string& key, int flags, RootFd& root, bool pinned) {
  UniqueFd fd(OpenBeneath(root->get(), key, flags));
  if (fd.valid() || !pinned || !RootReplaced(key, root) || !root) return fd;
  fd.reset(OpenBeneath(root->get(), key, flags));
  return fd;
}

ScopedRootPin::ScopedRootPin(const std::string& key) {
  RootFd fd = OpenRoot(key, false);
  if (!fd) return;
  pin_ = std::make_shared<const PinnedRoot>(PinnedRoot{std::move(fd)});
  previous_ = PinRoot(pin_);
}

ScopedRootPin::~ScopedRootPin() {
  if (pin_) RestorePin(std::move(previous_));
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
