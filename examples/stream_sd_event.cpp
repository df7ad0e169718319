// stream_sd_event.cpp: a service on systemd's sd-event loop that reports
// device names and traffic-blocked changes from an event stream. The
// stream's descriptor is one more I/O source of the loop; SIGINT or SIGTERM
// (or the time given) ends it.
//
//   ORV_SETTINGS_DIR=/path/to/store ./orv-example-stream-sd-event 10

#include <orv/devmgmt.h>
#include <orv/devmgmt_stream.h>
#include <signal.h>
#include <systemd/sd-event.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

namespace dm = orv::devMgmt;

int OnStream(sd_event_source* /*source*/, int /*fd*/, uint32_t /*revents*/, void* userdata) {
  auto* stream = static_cast<dm::EventStream*>(userdata);
  std::vector<dm::StreamEvent> events;
  if (stream->read(events, 64) < 0) return -1;  // ends the loop with an error
  for (const dm::StreamEvent& event : events) {
    if (event.kind == dm::EventKind::kUpdated && event.device != nullptr) {
      std::printf("%s %s: \"%s\"\n", event.device_id.c_str(), event.name.c_str(),
                  event.device->display_name.c_str());
    } else if (event.kind == dm::EventKind::kTrafficBlocked) {
      std::printf("traffic report: %s\n", event.traffic_status.c_str());
    } else if (event.kind != dm::EventKind::kNewDev) {
      std::printf("%s\n", dm::event_kind_name(event.kind));
    }
  }
  std::fflush(stdout);
  return 0;
}

int OnTimeUp(sd_event_source* source, uint64_t /*usec*/, void* /*userdata*/) {
  return sd_event_exit(sd_event_source_get_event(source), 0);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t seconds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 0;
  dm::StreamOptions options;
  options.fields = {"display_name"};
  options.traffic_blocked = true;
  dm::EventStream stream;
  if (stream.open(options) != 0 || dm::init() != 0) {
    std::fprintf(stderr, "can't start: %d %s\n", orverrno.code(), orverrno.message().c_str());
    return 1;
  }
  sd_event* loop = nullptr;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop, nullptr);  // sd-event takes them as events
  uint64_t now = 0;
  int result = sd_event_default(&loop);
  if (result >= 0) result = sd_event_add_io(loop, nullptr, stream.fd(), EPOLLIN, OnStream, &stream);
  if (result >= 0) result = sd_event_add_signal(loop, nullptr, SIGINT, nullptr, nullptr);
  if (result >= 0) result = sd_event_add_signal(loop, nullptr, SIGTERM, nullptr, nullptr);
  if (result >= 0) result = sd_event_now(loop, CLOCK_MONOTONIC, &now);
  if (result >= 0) {
    result = sd_event_add_time(loop, nullptr, CLOCK_MONOTONIC, now + seconds * 1000000, 0, OnTimeUp,
                               nullptr);
  }
  if (result >= 0) result = sd_event_loop(loop);
  sd_event_unref(loop);
  dm::uninit();
  if (result < 0) std::fprintf(stderr, "sd-event: error %d\n", -result);
  return result < 0 ? 1 : 0;
}
