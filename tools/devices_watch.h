// devices_watch.h: orv-devices watch, the library's events as they happen,
// read from an event stream on the tool's own thread.

#ifndef ORV_TOOLS_DEVICES_WATCH_H_
#define ORV_TOOLS_DEVICES_WATCH_H_

#include <string>

namespace orv_tools {

// WatchOptions is what the command line says of watch.
struct WatchOptions {
  int timeout_ms = 5000;  // for the library to watch the store; 0: forever
  bool json = false;
  std::string events;  // comma-separated event names to show; "": all
  std::string fields;  // comma-separated fields whose updates to show; "": all
};

// The names --events takes, the same in text and JSON.
extern const char kWatchEventNames[];

// Watch opens a stream (every field, the keys "^/devices/", its own traffic-
// blocked reports, reloads), starts the library, waits for it to watch the
// store, prints the devices, then one line per event until SIGINT or SIGTERM,
// and stops the library. With `json`, every line is one JSON object with an
// "event" member:
//   {"event":"device","device":{...}}        a listed device (at start, and
//                                            after reloaded or resync)
//   {"event":"synced","devices":N}           the listing is complete
//   {"event":"new_dev","device_id":ID}
//   {"event":"updated","device_id":ID,"field":F,"value":V}
//   {"event":"removed","device_id":ID}
//   {"event":"key","key":K}
//   {"event":"traffic_blocked","status":{...}}  the stream's report
//   {"event":"lost","error":E}               the store's watch is lost...
//   {"event":"regained"}                     ...and held again
//   {"event":"reloaded","vanished":[ID,...]} a reload; a listing follows
//   {"event":"resync","dropped":N}           the tool fell behind; a listing
//                                            follows
//   {"event":"stopped","signal":"SIGTERM"}
// Text lines carry the same names. Returns the exit status: 0; 2 for an
// unknown event or field name; 3 when the library can't start or doesn't
// come to watch the store in time.
int Watch(const WatchOptions& options);

}  // namespace orv_tools

#endif  // ORV_TOOLS_DEVICES_WATCH_H_
