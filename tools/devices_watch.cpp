#include "devices_watch.h"

#include <jansson.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "command_line.h"
#include "devices_format.h"
#include "devices_sync.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_stream.h"
#include "orv/settings.h"
#include "terminal_text.h"

namespace orv_tools {

const char kWatchEventNames[] =
    "device,synced,new_dev,updated,removed,key,traffic_blocked,lost,regained,reloaded,resync,"
    "stopped";

namespace {

using orv::devMgmt::Device;
using orv::devMgmt::EventKind;
using orv::devMgmt::StreamEvent;

const char kKeyRegex[] = "^/devices/";
constexpr int kHealthEveryMs = 250;  // how often the store's watch is looked at
// The reason printed for a loss that was over before the tool looked.
constexpr const char* kRecoveredUnseen = "lost and regained between two looks";

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> out;
  std::string::size_type start = 0;
  while (start <= list.size() && !list.empty()) {
    const std::string::size_type comma = std::min(list.find(',', start), list.size());
    out.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

// UnknownName returns the first of `names` not in `known`, else "".
std::string UnknownName(const std::vector<std::string>& names,
                        const std::vector<std::string>& known) {
  for (const std::string& name : names) {
    if (std::find(known.begin(), known.end(), name) == known.end())
      return name.empty() ? "\"\"" : name;
  }
  return std::string();
}

// Readable is a terminal line: the local time, the kind of event, the rest.
std::string Readable(const std::string& what, const std::string& rest) {
  timeval now;
  gettimeofday(&now, nullptr);
  tm local;
  localtime_r(&now.tv_sec, &local);
  char clock[32];
  std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d  ", static_cast<int>(now.tv_usec / 1000));
  std::string line = std::string(clock) + millis + what;
  line.append(what.size() < 9 ? 9 - what.size() : 1, ' ');
  return line + rest;
}

// Watcher keeps the devices as the stream tells them and prints its events,
// all on the tool's one thread.
class Watcher {
 public:
  Watcher(const WatchOptions& options, std::vector<std::string> shown)
      : json_(options.json), shown_(shown.begin(), shown.end()) {}

  // Take folds one event into the devices, and prints it once listed.
  void Take(const StreamEvent& event, const char* signal_name) {
    switch (event.kind) {
      case EventKind::kNewDev:
      case EventKind::kUpdated:
        if (event.device) devices_[event.device_id] = *event.device;
        if (!event.device) devices_.erase(event.device_id);
        break;
      case EventKind::kRemoved:
        devices_.erase(event.device_id);
        break;
      case EventKind::kReloaded:
        for (const std::string& id : event.vanished) devices_.erase(id);
        break;
      case EventKind::kResync:
      case EventKind::kStopped:
        devices_.clear();
        break;
      default:
        break;
    }
    if (listed_) Print(event, signal_name);
    if (event.kind == EventKind::kReloaded || event.kind == EventKind::kResync) listing_ = true;
    if (event.kind == EventKind::kSynced) listing_ = false;
  }

  // List prints the devices known now; every event is printed from then on.
  void List() {
    orv::devMgmt::SyncStatus status;
    orv::devMgmt::get_sync_status(status);
    losses_seen_ = status.descriptors_lost;  // those before the listing aren't events
    std::vector<Device> devices;
    for (const auto& entry : devices_) devices.push_back(entry.second);
    if (json_) {
      for (const Device& device : devices) Emit("device", DeviceMember(device), "");
      json_t* synced = Event("synced");
      json_object_set_new(synced, "devices", json_integer(static_cast<json_int_t>(devices.size())));
      Emit("synced", synced, "");
    } else {
      std::string table = DeviceTable(devices);
      table.pop_back();  // PrintLine ends the line
      PrintLine(table);
      PrintLine("-- watching " + Printable(orv::setMgmt::root()) + "/devices (" +
                std::to_string(devices.size()) + " devices); Ctrl-C stops.");
    }
    listed_ = true;
  }

  // Health prints "lost" and "regained" as the store's watch comes and goes.
  // The status counts the losses, so that one the thread recovered from
  // between two looks is printed too, in its place.
  void Health() {
    orv::devMgmt::SyncStatus status;
    orv::devMgmt::get_sync_status(status);
    if (!status.running) return;
    std::uint64_t losses =
        status.descriptors_lost > losses_seen_ ? status.descriptors_lost - losses_seen_ : 0;
    losses_seen_ = status.descriptors_lost;
    // From the state last printed to the one now, a loss and a return at a
    // time. (Not every loss is counted: a node it can't watch isn't.)
    while (losses > 0 || watching_ != status.watching) {
      if (watching_) {
        // Only the loss that lasts has its reason in the status.
        const bool lasting = losses <= 1 && !status.watching;
        json_t* lost = Event("lost");
        const std::string why = lasting ? status.last_store_error : kRecoveredUnseen;
        json_object_set_new(lost, "error", JsonText(why));
        Emit("lost", lost, Readable("lost", Printable(why)));
        if (losses > 0) --losses;
      } else {
        Emit("regained", Event("regained"), Readable("regained", ""));
      }
      watching_ = !watching_;
    }
  }

 private:
  static json_t* Event(const char* kind) {
    json_t* event = json_object();
    json_object_set_new(event, "event", json_string(kind));
    return event;
  }
  static void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);  // for readers at the other end of a pipe
  }
  // Emit prints `event` (JSON) or `text`, when the event's name is shown.
  void Emit(const std::string& name, json_t* event, const std::string& text) {
    const bool shown = shown_.empty() || shown_.count(name) != 0;
    if (json_ && shown) {
      PrintLine(JsonLine(event));
      return;
    }
    json_decref(event);
    if (shown) PrintLine(text);
  }
  json_t* DeviceMember(const Device& device) {
    json_t* event = Event("device");
    json_object_set_new(event, "device", DeviceJson(device));
    return event;
  }

  void Print(const StreamEvent& e, const char* signal_name) {
    const std::string id = Printable(e.device_id);
    json_t* event = nullptr;
    switch (e.kind) {
      case EventKind::kNewDev:
        if (listing_) {
          Emit("device", DeviceMember(*e.device),
               Readable("device", id + "  " + Bindings(*e.device)));
          return;
        }
        event = Event("new_dev");
        json_object_set_new(event, "device_id", JsonText(e.device_id));
        return Emit("new_dev", event, Readable("new_dev", id));
      case EventKind::kUpdated:
        event = Event("updated");
        json_object_set_new(event, "device_id", JsonText(e.device_id));
        json_object_set_new(event, "field", JsonText(e.name));
        json_object_set_new(event, "value", e.device ? FieldJson(*e.device, e.name) : json_null());
        return Emit("updated", event,
                    Readable("updated", id + "  " + Printable(e.name) + " = " +
                                            (e.device ? FieldText(*e.device, e.name) : "(gone)")));
      case EventKind::kRemoved:
        event = Event("removed");
        json_object_set_new(event, "device_id", JsonText(e.device_id));
        return Emit("removed", event, Readable("removed", id));
      case EventKind::kKeyChanged:
        event = Event("key");
        json_object_set_new(event, "key", JsonText(e.name));
        return Emit("key", event, Readable("key", Printable(e.name)));
      case EventKind::kTrafficBlocked:
        return Traffic(e);
      case EventKind::kReloaded:
        return Reloaded(e.vanished);
      case EventKind::kResync:
        event = Event("resync");
        json_object_set_new(event, "dropped", json_integer(static_cast<json_int_t>(e.dropped)));
        return Emit("resync", event,
                    Readable("resync", std::to_string(e.dropped) + " events dropped"));
      case EventKind::kSynced:
        event = Event("synced");
        json_object_set_new(event, "devices",
                            json_integer(static_cast<json_int_t>(devices_.size())));
        return Emit("synced", event,
                    Readable("synced", std::to_string(devices_.size()) + " devices"));
      case EventKind::kStopped:
        event = Event("stopped");
        json_object_set_new(event, "signal", json_string(signal_name));
        return Emit("stopped", event, Readable("stopped", signal_name));
    }
  }

  void Traffic(const StreamEvent& e) {
    json_t* status = json_loads(e.traffic_status.c_str(), 0, nullptr);
    std::string rest = Printable(e.device_id);
    rest += "  blocked=" + std::to_string(json_integer_value(json_object_get(status, "blocked")));
    const json_t* macs = json_object_get(status, "macs");
    const json_t* ips = json_object_get(status, "ips");
    for (std::size_t i = 0; i < json_array_size(macs); ++i) {
      const char* mac = json_string_value(json_array_get(macs, i));
      const char* ip = json_string_value(json_array_get(ips, i));
      rest += std::string(i == 0 ? "  " : ", ") + (mac != nullptr ? Printable(mac) : "?");
      rest += ip == nullptr || *ip == '\0' ? " (no IP)" : " " + Printable(ip);
    }
    json_t* event = Event("traffic_blocked");
    json_object_set_new(event, "status", status != nullptr ? status : json_null());
    Emit("traffic_blocked", event, Readable("traffic_blocked", rest));
  }

  void Reloaded(const std::vector<std::string>& vanished_ids) {
    json_t* event = Event("reloaded");
    json_t* vanished = json_array();
    std::string rest = "vanished:";
    for (const std::string& id : vanished_ids) {
      json_array_append_new(vanished, JsonText(id));
      rest += (&id == &vanished_ids.front() ? " " : ", ") + Printable(id);
    }
    json_object_set_new(event, "vanished", vanished);
    Emit("reloaded", event, Readable("reloaded", vanished_ids.empty() ? "none vanished" : rest));
  }

  const bool json_;
  const std::set<std::string> shown_;
  std::map<std::string, Device> devices_;  // sorted by id, as listed
  bool listed_ = false;                    // the listing is printed: every event is, from now on
  bool listing_ = false;                   // a snapshot is under way (after reloaded or resync)
  bool watching_ = true;                   // the store's watch, as last printed
  std::uint64_t losses_seen_ = 0;          // the status's count of losses, as last seen
};

// Stream opens the tool's stream: every field (or those asked for), its
// keys, its traffic reports, with a snapshot.
int OpenStream(orv::devMgmt::EventStream& stream, const std::vector<std::string>& fields) {
  orv::devMgmt::StreamOptions options;
  options.fields = fields;
  options.key_regexes = {kKeyRegex};
  options.traffic_blocked = true;
  options.reloads = true;
  return stream.open(options);
}

}  // namespace

int Watch(const WatchOptions& options) {
  const std::vector<std::string> shown = SplitList(options.events);
  const std::vector<std::string> fields = SplitList(options.fields);
  std::string unknown = UnknownName(shown, SplitList(kWatchEventNames));
  if (!unknown.empty()) {
    return orv_tools::Usage(
        "orv-devices", "unknown event " + unknown + " for --events; one of " + kWatchEventNames);
  }
  unknown = UnknownName(fields, orv::devMgmt::device_field_names());
  if (!unknown.empty()) {
    return orv_tools::Usage("orv-devices", "unknown field " + unknown + " for --fields");
  }
  // Blocked before init(), so that the sync thread inherits the mask and the
  // signals reach the descriptor below. A shell starts background jobs with
  // SIGINT ignored: restore the default so that it is delivered.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signals = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);

  // Opened before init(): its snapshot comes with the load, and no change
  // falls between the two.
  orv::devMgmt::EventStream stream;
  std::string problem;
  if (signals < 0 || OpenStream(stream, fields) != 0) {
    problem = "can't watch: " + orverrno.message();
  } else if (orv::devMgmt::init() != 0) {
    problem = "the library can't start: " + orverrno.message();
  }
  Watcher watcher(options, shown);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
  bool listed = false;
  const char* signal_name = nullptr;
  std::vector<StreamEvent> events;
  while (problem.empty()) {
    // Until the thread watches the store, the loads come and go unprinted:
    // the listing shows where they ended.
    if (!listed && orv::devMgmt::wait_for_sync(0) == 0) {
      listed = true;
      if (stream.read(events, SIZE_MAX) < 0) break;
      for (const StreamEvent& event : events) watcher.Take(event, "");
      events.clear();
      watcher.List();
    }
    if (!listed && options.timeout_ms > 0 && std::chrono::steady_clock::now() >= deadline) {
      problem = SyncProblem(0);
      break;
    }
    pollfd ready[2] = {{stream.fd(), POLLIN, 0}, {signals, POLLIN, 0}};
    if (poll(ready, 2, listed ? kHealthEveryMs : 20) < 0 && errno != EINTR) break;
    signalfd_siginfo caught;
    if (read(signals, &caught, sizeof caught) == static_cast<ssize_t>(sizeof caught)) {
      signal_name = caught.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
      break;
    }
    // The thread holds the watch again before it reloads. The status is
    // looked at after the events are read, so a regain that came before a
    // reload read here is seen, and "regained" comes before the reload's
    // events (looked at before the read, the reload could come first).
    if (stream.read(events, 256) < 0) break;
    if (listed) watcher.Health();
    for (const StreamEvent& event : events) watcher.Take(event, "");
    events.clear();
  }
  orv::devMgmt::uninit();  // the stream says "stopped"
  if (problem.empty() && signal_name != nullptr && stream.read(events, SIZE_MAX) >= 0) {
    for (const StreamEvent& event : events) watcher.Take(event, signal_name);
  }
  stream.close();
  if (signals >= 0) close(signals);
  if (!problem.empty()) return orv_tools::Fail("orv-devices", orv_tools::kExitFailed, problem);
  return 0;
}

}  // namespace orv_tools
