// orv-devices: what a service process linked with the device library sees.

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "devices_format.h"
#include "devices_sync.h"
#include "devices_unreadable.h"
#include "devices_watch.h"
#include "orv/devmgmt.h"
#include "orv/log.h"
#include "orv/settings.h"
#include "store_root.h"
#include "terminal_text.h"
#include "tools_version.h"

namespace {

using orv::devMgmt::Device;
using orv_tools::kExitFailed;
using orv_tools::kExitMissing;
using orv_tools::kExitOk;
using orv_tools::kExitUnreadable;

constexpr char kTool[] = "orv-devices";
constexpr int kDefaultTimeoutMs = 5000;

const char kUsage[] =
    "usage: orv-devices [OPTIONS] COMMAND [ARG]\n"
    "\n"
    "Starts the device library on the settings store, as a service process\n"
    "would, and shows what it sees.\n"
    "\n"
    "commands:\n"
    "  list, ls      every device: id, name, type, OS, blocked, guest, scan level,\n"
    "                MAC/IP pairs\n"
    "  show ID       one device in full\n"
    "  mac MAC       the id of the device that owns MAC\n"
    "  ip IP         the id of the first device with a binding to IP\n"
    "  watch         list the devices, then print every event the library\n"
    "                reports (device fields, keys under /devices/, traffic-\n"
    "                blocked reports, reloads of the cache, the store's watch\n"
    "                lost and regained) until SIGINT or SIGTERM\n"
    "  status        how the library's sync thread is doing: whether it watches\n"
    "                the store, its loads and changes, the store's error\n"
    "\n"
    "Every command but status first waits for the library to watch the store\n"
    "(at most --timeout), so that it answers from a cache in step with it.\n"
    "\n"
    "options (before or after the command):\n"
    "  --root DIR       the store's directory (default $ORV_SETTINGS_DIR, else\n"
    "                   /var/lib/orv/settings)\n"
    "  --log-level N    the library's log threshold, 0 (failures) to 4 (traces);\n"
    "                   default $ORV_LOG_LEVEL, else 0; lines go to stderr\n"
    "  --timeout MS     how long to wait for the library to watch the store,\n"
    "                   milliseconds (default 5000; 0 waits for as long as it\n"
    "                   takes)\n"
    "  --events LIST    watch: show only these events, comma-separated, from\n"
    "                   device,synced,new_dev,updated,removed,key,traffic_blocked,\n"
    "                   lost,regained,reloaded,resync,stopped\n"
    "  --fields LIST    watch: updates of these fields only, comma-separated\n"
    "  --json           print JSON: one object per device or per event, a line each\n"
    "  --version        the version of the tools\n"
    "  -h, --help       this text\n"
    "\n"
    "Text from the store is shown with control characters as \\xNN; --json\n"
    "escapes it as JSON does.\n"
    "\n"
    "list and show say on stderr, one line each, which values of a device the\n"
    "store could not hand over (the library shows them as empty or default).\n"
    "\n"
    "exit status: 0 done, 1 no such device, MAC or IP, 2 bad usage, 3 the\n"
    "store's root can't be read, the library can't start or can't watch the\n"
    "store (status: 3 when it doesn't watch it), 4 list or show answered but\n"
    "values could not be read\n";

int Fail(int status, const std::string& message) { return orv_tools::Fail(kTool, status, message); }

// Unreadable prints a line for each value of `devices` the store could not
// hand over, and returns the exit status of an answer from them.
int Unreadable(const std::vector<Device>& devices) {
  std::fflush(stdout);  // the answer before the lines on stderr
  int status = kExitOk;
  for (const Device& device : devices) {
    for (const std::string& line : orv_tools::UnreadableValues(device.device_id)) {
      status = Fail(kExitUnreadable, "device " + device.device_id + ": " + line);
    }
  }
  return status;
}

void PrintText(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void PrintJson(json_t* value) { PrintText(orv_tools::JsonLine(value) + "\n"); }

int List(bool json) {
  std::vector<Device> devices;
  orv::devMgmt::get_devices(devices);
  std::sort(devices.begin(), devices.end(),
            [](const Device& a, const Device& b) { return a.device_id < b.device_id; });
  if (!json) {
    PrintText(orv_tools::DeviceTable(devices));
  } else {
    for (const Device& device : devices) PrintJson(orv_tools::DeviceJson(device));
  }
  return Unreadable(devices);
}

int Show(const std::string& device_id, bool json) {
  Device device;
  if (!orv::devMgmt::get_device(device_id, device)) {
    return Fail(kExitMissing, "device " + device_id + ": " + orverrno.message());
  }
  if (json) {
    PrintJson(orv_tools::DeviceJson(device));
  } else {
    PrintText(orv_tools::DeviceDetails(device));
  }
  return Unreadable({device});
}

// Owner prints the id a lookup found; `what` names the looked-up address.
int Owner(int result, const std::string& what, const std::string& device_id, bool json) {
  if (result != 0) return Fail(kExitMissing, what + ": " + orverrno.message());
  if (json) {
    json_t* answer = json_object();
    json_object_set_new(answer, "device_id", orv_tools::JsonText(device_id));
    PrintJson(answer);
  } else {
    PrintText(orv_tools::Printable(device_id) + "\n");
  }
  return kExitOk;
}

// Status shows what the library's sync thread reports once it watches the
// store or `timeout_ms` has passed: not watching is shown, not an error of
// the tool, but the exit status says it.
int Status(int timeout_ms, bool json) {
  const std::string waited =
      orv_tools::WaitForSync(timeout_ms) == 0 ? "not watching" : orverrno.message();
  orv::devMgmt::SyncStatus status;
  orv::devMgmt::get_sync_status(status);
  if (json) {
    PrintJson(orv_tools::SyncStatusJson(status));
  } else {
    PrintText(orv_tools::SyncStatusText(status));
  }
  std::fflush(stdout);  // before the line on stderr
  return status.watching ? kExitOk : Fail(kExitFailed, orv_tools::StoreProblem(status, waited));
}

int Query(const std::string& command, const std::vector<std::string>& args, bool json) {
  std::string owner;
  if (command == "list") return List(json);
  if (command == "show") return Show(args[0], json);
  if (command == "mac") {
    return Owner(orv::devMgmt::get_device_id_by_mac(args[0], owner), "MAC " + args[0], owner, json);
  }
  return Owner(orv::devMgmt::get_device_id_by_ip(args[0], owner), "IP " + args[0], owner, json);
}

// The commands and their number of arguments. watch runs until stopped; the
// others start the library, answer from its cache and stop it (Query).
const std::vector<orv_tools::Command> kCommands = {
    {"list", "ls", 0, 0, "list takes no argument"},
    {"show", nullptr, 1, 1, "show needs one ID"},
    {"mac", nullptr, 1, 1, "mac needs one MAC"},
    {"ip", nullptr, 1, 1, "ip needs one IP"},
    {"watch", nullptr, 0, 0, "watch takes no argument"},
    {"status", nullptr, 0, 0, "status takes no argument"}};

const std::vector<orv_tools::Option> kOptions = {{"--root", "DIR"},    {"--log-level", "N"},
                                                 {"--timeout", "MS"},  {"--events", "LIST"},
                                                 {"--fields", "LIST"}, {"--json", nullptr}};

// Run checks the store's root, starts the library and answers `command`.
int Run(const std::string& command, const std::vector<std::string>& args, int timeout_ms, bool json,
        orv_tools::WatchOptions watch) {
  // The library would take a missing root for a store without devices.
  // status shows instead what the library makes of it.
  const std::string problem = orv_tools::RootProblem();
  if (!problem.empty() && command != "status") return Fail(kExitFailed, problem);
  if (command == "watch") {
    watch.timeout_ms = timeout_ms;
    watch.json = json;
    return orv_tools::Watch(watch);
  }
  if (orv::devMgmt::init() != 0) {
    orv::devMgmt::uninit();
    return Fail(kExitFailed, "the library can't start: " + orverrno.message());
  }
  int status = kExitFailed;
  if (command == "status") {
    status = Status(timeout_ms, json);
  } else {
    // Until then the cache may lack changes the store has already made. A
    // store without /devices holds no device and has nothing to sync: the
    // empty cache is the answer.
    orv::storage::NodeInfo devices_node;
    const bool no_devices = orv::setMgmt::statKey("/devices", devices_node) < 0 &&
                            orverrno.code() == orv::setMgmt::kNotFound;
    const std::string unsynced = no_devices ? std::string() : orv_tools::SyncProblem(timeout_ms);
    status = unsynced.empty() ? Query(command, args, json) : Fail(kExitFailed, unsynced);
  }
  orv::devMgmt::uninit();
  return status;
}

// Configure applies the options of `line`; returns "" or the usage problem.
std::string Configure(const orv_tools::CommandLine& line, int& timeout_ms,
                      orv_tools::WatchOptions& watch) {
  for (const auto& given : line.values) {
    const std::string& value = given.second;
    if (given.first == "--log-level" &&
        !orv_tools::ParseNumber(value, 0, 4, orv::log::current_level)) {
      return "--log-level wants a number from 0 to 4, not \"" + value + "\"";
    }
    if (given.first == "--timeout" && !orv_tools::ParseNumber(value, 0, INT_MAX, timeout_ms)) {
      return "--timeout wants milliseconds, 0 or more, not \"" + value + "\"";
    }
    if (given.first == "--events") watch.events = value;
    if (given.first == "--fields") watch.fields = value;
    if (given.first == "--root") {
      const std::string problem = orv_tools::SetRoot(value);
      if (!problem.empty()) return problem;
    }
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  orv_tools::CommandLine line;
  std::string problem = orv_tools::ParseCommandLine(argc, argv, kOptions, false, line);
  if (!problem.empty()) return orv_tools::Usage(kTool, problem);
  int answered = kExitOk;
  if (orv_tools::AnswerHelpOrVersion(line, kTool, kUsage, answered)) return answered;
  int timeout_ms = kDefaultTimeoutMs;
  const orv_tools::Command* command = orv_tools::FindCommand(line.words, kCommands, problem);
  orv_tools::WatchOptions watch;
  if (command != nullptr) problem = Configure(line, timeout_ms, watch);
  if (!problem.empty()) return orv_tools::Usage(kTool, problem);
  const std::vector<std::string> args(line.words.begin() + 1, line.words.end());
  return Run(command->name, args, timeout_ms, line.values.count("--json") != 0, watch);
}
