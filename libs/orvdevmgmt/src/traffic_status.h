// traffic_status.h: the traffic-blocked report, a key subscription under
// kTrafficBlockedKeyRegex whose callback hands a JSON status document of the
// changed device to the one registered TrafficBlockedCallback.

#ifndef ORVDEVMGMT_SRC_TRAFFIC_STATUS_H_
#define ORVDEVMGMT_SRC_TRAFFIC_STATUS_H_

#include <string>

#include "orv/devmgmt_types.h"
#include "subscribers.h"

namespace orv {
namespace devmgmt_internal {

// The expression the report subscribes under.
constexpr const char* kTrafficBlockedKeyRegex = "/devices/.*/traffic_blocked";

// The registered function, if any. Unset from a client thread waits for a
// report that the sync thread is handing to it.
extern CallbackSlot<TrafficBlockedCallback> g_traffic_blocked_callback;

// build_device_traffic_status makes the document of one cached device, or
// returns null (freeing everything made so far) when it can't.
// Its caller holds the mutex of the cache `device` is in (the record doesn't
// name its cache, so no attribute can say which: the callers' holds are
// checked where they read the record).
json_t* build_device_traffic_status(const std::string& device_id,
                                    const orv::devMgmt::Device& device);

// traffic_blocked_change reports the device named by `key` (the piece after
// "/devices") to g_traffic_blocked_callback. Runs on the sync thread.
void traffic_blocked_change(const std::string& key);

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_TRAFFIC_STATUS_H_
