// devices_watch.h: orv-devices watch, the library's events as they happen.

#ifndef ORV_TOOLS_DEVICES_WATCH_H_
#define ORV_TOOLS_DEVICES_WATCH_H_

namespace orv_tools {

// Watch subscribes to every device field, to the keys "^/devices/", to the
// traffic-blocked reports and to the cache's reloads, starts the library,
// waits up to `timeout_ms` for it to watch the store, prints the devices,
// then one line per event until SIGINT or SIGTERM, and stops the library.
// With `json`, every line is one JSON object with an "event" member:
//   {"event":"device","device":{...}}          a device loaded at start
//   {"event":"ready","devices":N}              the listing is complete
//   {"event":"new_dev","device_id":ID}
//   {"event":"updated","device_id":ID,"field":F,"value":V}
//   {"event":"removed","device_id":ID}
//   {"event":"key","key":K}
//   {"event":"traffic_blocked","status":{...}} the library's report
//   {"event":"reloaded","vanished":[ID,...]}   after a reload, which
//                                              announced its devices as new
//   {"event":"stopped","signal":"SIGTERM"}
// Returns the exit status: 0, or 3 when the library can't start or doesn't
// come to watch the store in time.
int Watch(int timeout_ms, bool json);

}  // namespace orv_tools

#endif  // ORV_TOOLS_DEVICES_WATCH_H_
