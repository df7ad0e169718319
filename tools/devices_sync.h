// devices_sync.h: how orv-devices waits for the library's sync thread and
// shows how it is doing (orv::devMgmt::SyncStatus).

#ifndef ORV_TOOLS_DEVICES_SYNC_H_
#define ORV_TOOLS_DEVICES_SYNC_H_

#include <jansson.h>

#include <string>

#include "orv/devmgmt_types.h"

namespace orv_tools {

// WaitForSync is orv::devMgmt::wait_for_sync, but a `timeout_ms` of 0 waits
// for as long as it takes (until the library watches the store or stops).
int WaitForSync(int timeout_ms);

// SyncProblem waits up to `timeout_ms` (0: see WaitForSync) for the sync thread to watch the
// store (orv::devMgmt::wait_for_sync). Returns "" once it does; otherwise one
// line (raw text, for Fail) naming the store's root and why, the store's own error when the
// library has one, else the wait's:
//   store /srv/x: cannot watch /srv/x/devices: Permission denied
// REQUIRES: the library has been started (init()).
std::string SyncProblem(int timeout_ms);

// StoreProblem is the line SyncProblem returns for `status`: the store's
// error, else `fallback` (what the wait said).
std::string StoreProblem(const orv::devMgmt::SyncStatus& status, const std::string& fallback);

// SyncStatusText shows every figure of `status`, one "name: value" a line,
// named as the struct's members; texts quoted and made printable.
std::string SyncStatusText(const orv::devMgmt::SyncStatus& status);

// SyncStatusJson makes one JSON object of `status`, its members named as the
// struct's. The caller owns it.
json_t* SyncStatusJson(const orv::devMgmt::SyncStatus& status);

}  // namespace orv_tools

#endif  // ORV_TOOLS_DEVICES_SYNC_H_
