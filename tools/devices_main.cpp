// orv-devices: what a service process linked with the device library sees.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "devices_format.h"
#include "devices_sync.h"
#include "devices_watch.h"
#include "orv/devmgmt.h"
#include "orv/log.h"
#include "orv/settings.h"
#include "store_root.h"
#include "terminal_text.h"
#include "tools_version.h"

namespace {

using orv::devMgmt::Device;

constexpr int kExitOk = 0;
constexpr int kExitMissing = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

constexpr int kDefaultTimeoutMs = 5000;

const char kUsage[] =
    "usage: orv-devices [OPTIONS] COMMAND [ARG]\n"
    "\n"
    "Starts the device library on the settings store, as a service process\n"
    "would, and shows what it sees.\n"
    "\n"
    "commands:\n"
    "  list          every device: id, name, type, OS, blocked, guest, scan level,\n"
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
    "                   milliseconds (default 5000; watch: 0 waits forever)\n"
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
    "exit status: 0 done, 1 no such device, MAC or IP, 2 bad usage, 3 the\n"
    "store's root can't be read, the library can't start or can't watch the\n"
    "store (status: 3 when it doesn't watch it)\n";

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "orv-devices: %s\n", orv_tools::Printable(message).c_str());
  return status;
}

int Usage(const std::string& problem) {
  return Fail(kExitUsage, problem + " (see orv-devices --help)");
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
    return kExitOk;
  }
  for (const Device& device : devices) PrintJson(orv_tools::DeviceJson(device));
  return kExitOk;
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
  return kExitOk;
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
      orv::devMgmt::wait_for_sync(timeout_ms) == 0 ? "not watching" : orverrno.message();
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

struct Command {
  const char* name;
  std::size_t args;
};

// The commands and their number of arguments. watch runs until stopped; the
// others start the library, answer from its cache and stop it (Query).
const Command kCommands[] = {{"list", 0}, {"show", 1},  {"mac", 1},
                             {"ip", 1},   {"watch", 0}, {"status", 0}};

// Run checks the command's arguments and the store's root, starts the
// library and answers.
int Run(const std::string& command, const std::vector<std::string>& args, int timeout_ms, bool json,
        orv_tools::WatchOptions watch) {
  const Command* found = nullptr;
  for (const Command& known : kCommands) {
    if (command == known.name) found = &known;
  }
  if (found == nullptr) return Usage("unknown command \"" + command + "\"");
  if (args.size() != found->args) {
    return Usage(command + (found->args == 1 ? " needs one argument" : " takes no argument"));
  }
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

// ParseNumber reads a decimal number from `low` to `high` into `number`.
bool ParseNumber(const std::string& text, long low, long high, int& number) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) return false;
  number = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // A tool shows only the library's failures unless asked for more.
  if (std::getenv("ORV_LOG_LEVEL") == nullptr) orv::log::current_level = orv::log::kError;
  bool json = false;
  int timeout_ms = kDefaultTimeoutMs;
  orv_tools::WatchOptions watch;
  std::vector<std::string> words;
  bool options_done = false;
  for (int at = 1; at < argc; ++at) {
    const std::string arg = argv[at];
    if (options_done || arg.empty() || arg[0] != '-') {
      words.push_back(arg);
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::printf("orv-devices %s\n", orv_tools::kVersion);
      return kExitOk;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--root" || arg == "--log-level" || arg == "--timeout" || arg == "--events" ||
               arg == "--fields" || arg.rfind("--root=", 0) == 0) {
      const bool joined = arg.rfind("--root=", 0) == 0;
      if (!joined && at + 1 >= argc) return Usage(arg + " needs a value");
      const std::string value = joined ? arg.substr(7) : argv[++at];
      if (arg == "--log-level") {
        if (!ParseNumber(value, 0, 4, orv::log::current_level)) {
          return Usage("--log-level wants a number from 0 to 4, not \"" + value + "\"");
        }
      } else if (arg == "--timeout") {
        if (!ParseNumber(value, 0, INT_MAX, timeout_ms)) {
          return Usage("--timeout wants milliseconds, 0 or more, not \"" + value + "\"");
        }
      } else if (arg == "--events" || arg == "--fields") {
        (arg == "--events" ? watch.events : watch.fields) = value;
      } else if (value.empty()) {  // an empty root would make "/" the store
        return Usage("--root needs a DIR, not an empty name");
      } else {
        orv::setMgmt::set_root(value);
      }
    } else {
      return Usage("unknown option \"" + arg + "\"");
    }
  }
  if (words.empty()) return Usage("no command given");
  const std::vector<std::string> args(words.begin() + 1, words.end());
  return Run(words[0], args, timeout_ms, json, watch);
}
