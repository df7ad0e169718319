// Device-info notifications. The callers hold the cache's mutex, so every
// callback runs with the cache locked, on the thread that changed it.

#include "event_stream_registry.h"
#include "log_frame.h"
#include "orv/devmgmt_internals.h"
#include "subscribers.h"

using orv::devmgmt_internal::Snapshot;

namespace {

// NotifyAll calls every distinct registered callback once, in ascending
// order of function address, and returns how many it called. They are called
// from a copy, so that a callback may (un)register callbacks meanwhile.
// Its caller holds the cache's mutex.
int NotifyAll(const Devices& cache, orv::DevInfoChangeType type, const std::string& device_id)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
    __attribute__((requires_capability(cache.mutex)))
#endif
{
  Snapshot<DevInfoChangeCallback> distinct;
  for (const auto& entry : cache.field_callbacks) {
    distinct.Append(entry.second.begin(), entry.second.end());
  }
  distinct.KeepDistinct();
  if (distinct.size() == 0) return 0;
  const std::string id(device_id);  // a callback may free what device_id points into
  for (DevInfoChangeCallback callback : distinct) callback(type, id, std::string());
  return static_cast<int>(distinct.size());
}

}  // namespace

void Devices::notify_new_dev(const std::string& device_id) {
  ORV_LOG(orv::log::kNotice, "New device: device id=%s", device_id);
  orv::devmgmt_internal::Streams().OnNewDev(*this, device_id);
  const int called = NotifyAll(*this, orv::NEW_DEV, device_id);
  ORV_LOG(orv::log::kNotice, "Called %d callbacks", called);
}

void Devices::notify_dev_info_removed(const std::string& device_id) {
  ORV_LOG(orv::log::kNotice, "Device info removed: device_id=%s", device_id);
  orv::devmgmt_internal::Streams().OnRemoved(*this, device_id);
  const int called = NotifyAll(*this, orv::DEV_INFO_REMOVED, device_id);
  ORV_LOG(orv::log::kNotice, "Called %d callbacks", called);
}

void Devices::notify_dev_info_updated(const std::string& device_id, const std::string& field_name) {
  ORV_LOG(orv::log::kDebug, "Device info updated: device id=%s field_name=%s", device_id,
          field_name);
  orv::devmgmt_internal::Streams().OnUpdated(*this, device_id, field_name);
  auto found = field_callbacks.find(field_name);
  if (found == field_callbacks.end()) return;
  Snapshot<DevInfoChangeCallback> callbacks;
  callbacks.Append(found->second.begin(), found->second.end());
  if (callbacks.size() == 1) {
    callbacks.begin()[0](orv::DEV_INFO_UPDATED, device_id, field_name);
    return;
  }
  // A callback may free what the arguments point into (a record, the field's
  // entry), so the ones after it get copies. A lone callback needs none: no
  // allocation in the usual case.
  const std::string id(device_id), field(field_name);
  for (DevInfoChangeCallback callback : callbacks) callback(orv::DEV_INFO_UPDATED, id, field);
}
