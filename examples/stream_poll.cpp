// stream_poll.cpp: a service on a poll() loop that keeps its own view of the
// devices from an event stream, behind its own lock.
//
// Everything happens on the service's thread: the library's sync thread only
// queues the events, so a handler may take the service's lock and query the
// cache while another thread of the service holds that lock and lists.
//
//   ORV_SETTINGS_DIR=/path/to/store ./orv-example-stream-poll 10

#include <orv/devmgmt.h>
#include <orv/devmgmt_stream.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

namespace dm = orv::devMgmt;

// The service's state, behind the service's lock.
std::mutex g_service_mutex;
std::map<std::string, std::string> g_names;  // device id -> display name

void Handle(const dm::StreamEvent& event) {
  std::lock_guard<std::mutex> hold(g_service_mutex);
  switch (event.kind) {
    case dm::EventKind::kNewDev:
    case dm::EventKind::kUpdated:
      if (event.device == nullptr) {  // the device left the cache
        g_names.erase(event.device_id);
        break;
      }
      if (g_names.count(event.device_id) != 0 &&
          g_names[event.device_id] != event.device->display_name) {
        std::printf("%s is now called \"%s\"\n", event.device_id.c_str(),
                    event.device->display_name.c_str());
      }
      g_names[event.device_id] = event.device->display_name;
      break;
    case dm::EventKind::kRemoved:
      g_names.erase(event.device_id);
      break;
    case dm::EventKind::kReloaded:
      for (const std::string& id : event.vanished) g_names.erase(id);
      break;
    case dm::EventKind::kResync:
    case dm::EventKind::kStopped:
      g_names.clear();  // a snapshot follows
      break;
    case dm::EventKind::kSynced:
      std::printf("in step: %zu devices\n", g_names.size());
      break;
    case dm::EventKind::kTrafficBlocked:
      std::printf("traffic report: %s\n", event.traffic_status.c_str());
      break;
    default:
      break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 0;
  dm::StreamOptions options;
  options.fields = {"display_name", "macs"};
  options.traffic_blocked = true;
  dm::EventStream stream;
  if (stream.open(options) != 0 || dm::init() != 0) {  // the snapshot comes with the load
    std::fprintf(stderr, "can't start: %d %s\n", orverrno.code(), orverrno.message().c_str());
    return 1;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::vector<dm::StreamEvent> events;
  do {
    pollfd ready = {stream.fd(), POLLIN, 0};
    if (poll(&ready, 1, 100) < 0) break;
    if (stream.read(events, 64) < 0) break;  // no lock of the library held from here on
    for (const dm::StreamEvent& event : events) Handle(event);
    events.clear();
  } while (std::chrono::steady_clock::now() < end);
  dm::uninit();
  return 0;
}
