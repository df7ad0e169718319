#include "devices_watch.h"

#include <jansson.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "devices_format.h"
#include "devices_sync.h"
#include "orv/devmgmt.h"
#include "orv/settings.h"
#include "terminal_text.h"

namespace orv_tools {
namespace {

using orv::devMgmt::Device;

const char kKeyRegex[] = "^/devices/";

// Output: callbacks print from the library's sync thread, the listing from
// the main thread. Lines printed before the listing wait in `pending`, so
// that the listing comes first. Every line is flushed at once, for readers
// at the other end of a pipe.
std::mutex g_output_mutex;
bool g_listed = false;               // guarded by g_output_mutex
std::vector<std::string> g_pending;  // guarded by g_output_mutex
bool g_json = false;                 // set before the library starts

// Until the sync thread watches the store, the loads (init()'s, then the
// thread's own) announce every device as new and report a reload: the
// listing, taken after them, shows that state once instead.
std::atomic<bool> g_synced{false};

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Emit(const std::string& line) {
  std::lock_guard<std::mutex> hold(g_output_mutex);
  if (g_listed) {
    PrintLine(line);
  } else {
    g_pending.push_back(line);
  }
}

// Readable is a terminal line: the local time, the kind of event, the rest.
std::string Readable(const std::string& what, const std::string& rest) {
  timeval now;
  gettimeofday(&now, nullptr);
  tm local;
  localtime_r(&now.tv_sec, &local);
  char clock[32];
  std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
  std::string line = clock;
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d  ", static_cast<int>(now.tv_usec / 1000));
  line += millis + what;
  line.append(what.size() < 9 ? 9 - what.size() : 1, ' ');
  return line + rest;
}

json_t* Event(const char* kind) {
  json_t* event = json_object();
  json_object_set_new(event, "event", json_string(kind));
  return event;
}

// OnDeviceInfo runs with the library's cache locked: it may query it.
void OnDeviceInfo(orv::DevInfoChangeType type, const std::string& device_id,
                  const std::string& field) {
  if (!g_synced) return;  // the listing shows it
  const char* kind = type == orv::NEW_DEV            ? "new_dev"
                     : type == orv::DEV_INFO_REMOVED ? "removed"
                                                     : "updated";
  Device device;
  const bool found = type == orv::DEV_INFO_UPDATED && orv::devMgmt::get_device(device_id, device);
  if (g_json) {
    json_t* event = Event(kind);
    json_object_set_new(event, "device_id", JsonText(device_id));
    if (type == orv::DEV_INFO_UPDATED) {
      json_object_set_new(event, "field", JsonText(field));
      json_object_set_new(event, "value", found ? FieldJson(device, field) : json_null());
    }
    Emit(JsonLine(event));
    return;
  }
  std::string rest = Printable(device_id);
  if (type == orv::DEV_INFO_UPDATED) {
    rest += "  " + Printable(field) + " = " + FieldText(device, field);
  }
  Emit(Readable(type == orv::NEW_DEV ? "new" : kind, rest));
}

void OnKey(const std::string& key) {
  if (g_json) {
    json_t* event = Event("key");
    json_object_set_new(event, "key", JsonText(key));
    Emit(JsonLine(event));
  } else {
    Emit(Readable("key", Printable(key)));
  }
}

// OnTrafficBlocked owns `status`.
void OnTrafficBlocked(json_t* status) {
  if (g_json) {
    json_t* event = Event("traffic_blocked");
    json_object_set_new(event, "status", status);  // takes the reference
    Emit(JsonLine(event));
    return;
  }
  const char* device_id = json_string_value(json_object_get(status, "device_id"));
  std::string rest = device_id != nullptr ? Printable(device_id) : "?";
  rest += "  blocked=" + std::to_string(json_integer_value(json_object_get(status, "blocked")));
  const json_t* macs = json_object_get(status, "macs");
  const json_t* ips = json_object_get(status, "ips");
  for (std::size_t i = 0; i < json_array_size(macs); ++i) {
    const char* mac = json_string_value(json_array_get(macs, i));
    const char* ip = json_string_value(json_array_get(ips, i));
    rest += std::string(i == 0 ? "  " : ", ") + (mac != nullptr ? Printable(mac) : "?");
    rest += ip == nullptr || *ip == '\0' ? " (no IP)" : " " + Printable(ip);
  }
  json_decref(status);
  Emit(Readable("traffic", rest));
}

// OnReloaded follows a reload of the cache (the store's notifications were
// lost), which announced the devices it found as new: it names the devices
// the reload dropped.
void OnReloaded(const std::vector<std::string>& vanished_ids) {
  if (!g_synced) return;  // the listing shows it
  if (g_json) {
    json_t* event = Event("reloaded");
    json_t* vanished = json_array();
    for (const std::string& id : vanished_ids) json_array_append_new(vanished, JsonText(id));
    json_object_set_new(event, "vanished", vanished);
    Emit(JsonLine(event));
    return;
  }
  std::string rest = "vanished:";
  for (const std::string& id : vanished_ids) {
    rest += (&id == &vanished_ids.front() ? " " : ", ") + Printable(id);
  }
  Emit(Readable("reloaded", vanished_ids.empty() ? "none vanished" : rest));
}

void Subscribe() {
  orv::devMgmt::set_on_dev_info_change(kDeviceFields, OnDeviceInfo);
  orv::devMgmt::set_on_key_change(kKeyRegex, OnKey);
  orv::devMgmt::set_on_traffic_blocked_change(OnTrafficBlocked);
  orv::devMgmt::set_on_cache_reloaded(OnReloaded);
}

void Unsubscribe() {
  orv::devMgmt::unset_on_cache_reloaded(OnReloaded);
  orv::devMgmt::unset_on_traffic_blocked_change(OnTrafficBlocked);
  orv::devMgmt::unset_on_key_change(kKeyRegex, OnKey);
  orv::devMgmt::unset_on_dev_info_change(kDeviceFields, OnDeviceInfo);
}

// PrintListing prints the devices, then the lines that waited for them.
void PrintListing(std::vector<Device> devices) {
  std::sort(devices.begin(), devices.end(),
            [](const Device& a, const Device& b) { return a.device_id < b.device_id; });
  std::lock_guard<std::mutex> hold(g_output_mutex);
  if (g_json) {
    for (const Device& device : devices) {
      json_t* event = Event("device");
      json_object_set_new(event, "device", DeviceJson(device));
      PrintLine(JsonLine(event));
    }
    json_t* ready = Event("ready");
    json_object_set_new(ready, "devices", json_integer(static_cast<json_int_t>(devices.size())));
    PrintLine(JsonLine(ready));
  } else {
    std::string table = DeviceTable(devices);
    table.pop_back();  // PrintLine ends the line
    PrintLine(table);
    PrintLine("-- watching " + Printable(orv::setMgmt::root()) + "/devices (" +
              std::to_string(devices.size()) + " devices); Ctrl-C stops.");
  }
  for (const std::string& line : g_pending) PrintLine(line);
  g_pending.clear();
  g_listed = true;
}

}  // namespace

int Watch(int timeout_ms, bool json) {
  g_json = json;
  // Blocked before init(), so that the sync thread inherits the mask and the
  // signals reach sigwait below, not a handler. A shell starts background
  // jobs with SIGINT ignored: restore the default so that it is delivered.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  // Subscribed before init(), so that no change falls between the load and
  // the subscriptions; what happens before the wait ends, the listing shows.
  Subscribe();
  std::string problem;
  if (orv::devMgmt::init() != 0) {
    problem = "the library can't start: " + orverrno.message();
  } else {
    problem = SyncProblem(timeout_ms);
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "orv-devices: %s\n", problem.c_str());
    orv::devMgmt::uninit();
    Unsubscribe();
    return 3;
  }
  // Set before the listing is taken: a change from now on is either in it or
  // printed after it (or both).
  g_synced = true;
  std::vector<Device> devices;
  orv::devMgmt::get_devices(devices);
  PrintListing(std::move(devices));

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  orv::devMgmt::uninit();  // returns after the last callback
  Unsubscribe();
  if (g_json) {
    json_t* stopped = Event("stopped");
    json_object_set_new(stopped, "signal",
                        json_string(signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
    Emit(JsonLine(stopped));
  } else {
    Emit(Readable("stopped", signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
  }
  return 0;
}

}  // namespace orv_tools
