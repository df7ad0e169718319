// orv-settings: reads, writes and watches the gateway's settings store from
// the shell.

#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "orv/settings.h"
#include "settings_tree.h"
#include "settings_values.h"
#include "settings_watch.h"
#include "store_root.h"
#include "tools_version.h"

namespace {

using orv_tools::Fail;
using orv_tools::kExitFailed;
using orv_tools::kExitOk;
using orv_tools::Listing;

constexpr char kTool[] = "orv-settings";

const char kUsage[] =
    "usage: orv-settings [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Reads, writes and watches the settings store (a directory tree:\n"
    "$ORV_SETTINGS_DIR, by default /var/lib/orv/settings).\n"
    "\n"
    "commands:\n"
    "  get KEY             print the value at KEY: piped, its bytes exactly (no\n"
    "                      line end added); on a terminal, control characters\n"
    "                      shown as \\xNN and a line end\n"
    "  set KEY VALUE       store VALUE at KEY, creating the nodes above it;\n"
    "                      VALUE - reads it from stdin (at most 1048576 bytes)\n"
    "  del KEY             delete the value or the node at KEY with all below it\n"
    "  ls, list [KEY]      print the tree below KEY (default /), indented\n"
    "  show [KEY]          print every value below KEY (default /) as one\n"
    "                      KEY=VALUE line\n"
    "  watch [KEY]         print one line per change below KEY (default /) until\n"
    "                      SIGINT or SIGTERM: set KEY=VALUE, node KEY, deleted\n"
    "                      KEY, and watching KEY or lost KEY: REASON\n"
    "  export [KEY]        print the tree below KEY as JSON: objects are nodes,\n"
    "                      strings are values\n"
    "  import FILE [KEY]   write a JSON document (FILE - is stdin) below KEY\n"
    "                      (default /); numbers are stored as their text;\n"
    "                      keys not in the document are left alone\n"
    "\n"
    "options (before or after the command; after it, other words starting with\n"
    "\"-\" are arguments, and everything after -- is):\n"
    "  --root DIR          the store's directory (default $ORV_SETTINGS_DIR,\n"
    "                      else /var/lib/orv/settings)\n"
    "  --json              get, ls, show, watch: one JSON object a line,\n"
    "                      {\"key\":K,\"value\":V} (ls: {\"key\":K,\"node\":true}\n"
    "                      for a node; watch: with \"event\")\n"
    "  --raw               set: store a device's traffic_blocked, onvelk,\n"
    "                      onguest or scan_level value even when the device\n"
    "                      library would read it two ways (loaded and changed)\n"
    "                      or it is out of an int's range\n"
    "  --version           the version of the tools\n"
    "  -h, --help          this text\n"
    "\n"
    "Keys start with \"/\", e.g. /devices/tv-living/display_name. Text from the\n"
    "store is shown with control characters as \\xNN and a backslash as \\\\;\n"
    "--json escapes it as JSON does (text that is not UTF-8 as [\"<hex>\"]).\n"
    "The store's own log lines: failures only, unless $ORV_LOG_LEVEL says more.\n"
    "\n"
    "exit status: 0 done, 1 no such key, 2 bad usage, a bad key, value or\n"
    "document, 3 the store's files or FILE can't be read or written\n";

const std::vector<orv_tools::Option> kOptions = {
    {"--root", "DIR"}, {"--json", nullptr}, {"--raw", nullptr}};

const std::vector<orv_tools::Command> kCommands = {
    {"get", nullptr, 1, 1, "get needs one KEY"},
    {"set", nullptr, 2, 2, "set needs a KEY and a VALUE"},
    {"del", nullptr, 1, 1, "del needs one KEY"},
    {"ls", "list", 0, 1, "ls takes at most one KEY"},
    {"show", nullptr, 0, 1, "show takes at most one KEY"},
    {"watch", nullptr, 0, 1, "watch takes at most one KEY"},
    {"export", nullptr, 0, 1, "export takes at most one KEY"},
    {"import", nullptr, 1, 2, "import needs a FILE and takes at most one KEY"},
};

int Run(const std::string& command, const std::vector<std::string>& args, bool json, bool raw) {
  const std::string key = args.empty() ? "/" : args[0];
  if (command == "get") return orv_tools::GetValue(key, json);
  if (command == "set") return orv_tools::SetValue(key, args[1], raw);
  if (command == "del") {
    return orv::setMgmt::deleteKey(key) < 0 ? orv_tools::StoreFailure() : kExitOk;
  }
  if (command == "ls") {
    return orv_tools::ListTree(key, json ? Listing::kJson : Listing::kIndented, stdout);
  }
  if (command == "show") {
    return orv_tools::ListTree(key, json ? Listing::kFlatJson : Listing::kFlat, stdout);
  }
  if (command == "watch") return orv_tools::WatchTree(key, json);
  if (command == "export") return orv_tools::ExportTree(key, stdout);
  return orv_tools::ImportFile(args[0], args.size() > 1 ? args[1] : "/");
}

// FlagProblem says when a flag is given to a command it doesn't change.
std::string FlagProblem(const orv_tools::CommandLine& line, const std::string& command) {
  if (line.values.count("--raw") != 0 && command != "set") return "--raw goes with set only";
  const bool shows = command == "get" || command == "ls" || command == "show" || command == "watch";
  if (line.values.count("--json") != 0 && !shows) return "--json goes with get, ls, show and watch";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  orv_tools::CommandLine line;
  std::string problem = orv_tools::ParseCommandLine(argc, argv, kOptions, true, line);
  if (!problem.empty()) return orv_tools::Usage(kTool, problem);
  int answered = kExitOk;
  if (orv_tools::AnswerHelpOrVersion(line, kTool, kUsage, answered)) return answered;
  const orv_tools::Command* command = orv_tools::FindCommand(line.words, kCommands, problem);
  if (command != nullptr) problem = FlagProblem(line, command->name);
  if (problem.empty() && line.values.count("--root") != 0) {
    problem = orv_tools::SetRoot(line.values["--root"]);
  }
  if (!problem.empty()) return orv_tools::Usage(kTool, problem);
  problem = orv_tools::RootProblem();
  if (!problem.empty()) return Fail(kExitFailed, problem);
  const std::vector<std::string> args(line.words.begin() + 1, line.words.end());
  const int status =
      Run(command->name, args, line.values.count("--json") != 0, line.values.count("--raw") != 0);
  if (std::fflush(stdout) != 0) return Fail(kExitFailed, "can't write the output");
  return status;
}
