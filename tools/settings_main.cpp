// orv-settings: reads and writes the gateway's settings store from the shell.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "orv/settings.h"
#include "settings_tree.h"
#include "store_root.h"
#include "terminal_text.h"
#include "tools_version.h"

namespace {

using orv_tools::Fail;
using orv_tools::kExitFailed;
using orv_tools::kExitOk;
using orv_tools::kExitUsage;
using orv_tools::StoreFailure;

const char kUsage[] =
    "usage: orv-settings [--root DIR] COMMAND [ARGS]\n"
    "\n"
    "Reads and writes the settings store (a directory tree: $ORV_SETTINGS_DIR,\n"
    "by default /var/lib/orv/settings; --root DIR overrides it).\n"
    "\n"
    "commands:\n"
    "  get KEY                print the value at KEY (on a terminal, control\n"
    "                         characters are shown as \\xNN)\n"
    "  set KEY VALUE          store VALUE at KEY, creating the nodes above it;\n"
    "                         VALUE - reads the value from stdin, as it is\n"
    "  del KEY                delete the value or the node at KEY with all below it\n"
    "  ls [KEY]               print the tree below KEY (default /), indented\n"
    "  export [KEY]           print the tree below KEY as JSON: objects are nodes,\n"
    "                         strings are values\n"
    "  import FILE [KEY]      write a JSON document (FILE - is stdin) below KEY\n"
    "                         (default /); numbers are stored as their text;\n"
    "                         keys not in the document are left alone\n"
    "\n"
    "options (before or after the command; after it, other words starting with\n"
    "\"-\" are arguments, and everything after -- is):\n"
    "  --root DIR       the store's directory\n"
    "  --version        the version of the tools\n"
    "  -h, --help       this text\n"
    "\n"
    "Keys start with \"/\", e.g. /devices/tv-living/display_name.\n"
    "\n"
    "exit status: 0 done, 1 no such key, 2 bad usage, a bad key or a bad\n"
    "document, 3 the store's files or FILE can't be read or written\n";

int Usage(const std::string& problem) {
  return Fail(kExitUsage, problem + " (see orv-settings --help)");
}

struct Command {
  const char* name;
  std::size_t least;  // arguments
  std::size_t most;
  const char* arity;  // what the usage error says
};

const Command kCommands[] = {
    {"get", 1, 1, "get needs one KEY"},
    {"set", 2, 2, "set needs a KEY and a VALUE"},
    {"del", 1, 1, "del needs one KEY"},
    {"ls", 0, 1, "ls takes at most one KEY"},
    {"export", 0, 1, "export takes at most one KEY"},
    {"import", 1, 2, "import needs a FILE and takes at most one KEY"},
};

int Get(const std::string& key) {
  std::string value;
  if (orv::setMgmt::getKey(key, value) < 0) return StoreFailure();
  // A value comes from the LAN: on a terminal it must not drive it; in a
  // pipe it stays exactly what is stored.
  if (isatty(STDOUT_FILENO)) value = orv_tools::Printable(value);
  std::fwrite(value.data(), 1, value.size(), stdout);
  std::fputc('\n', stdout);
  return kExitOk;
}

int Set(const std::string& key, const std::string& value) {
  if (value != "-") return orv::setMgmt::setKey(key, value) < 0 ? StoreFailure() : kExitOk;
  std::string input;
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) input.append(buffer, got);
  if (std::ferror(stdin)) return Fail(kExitFailed, "can't read the value from standard input");
  return orv::setMgmt::setKey(key, input) < 0 ? StoreFailure() : kExitOk;
}

int Run(const std::string& command, const std::vector<std::string>& args) {
  const Command* found = nullptr;
  for (const Command& known : kCommands) {
    if (command == known.name) found = &known;
  }
  if (found == nullptr) return Usage("unknown command \"" + command + "\"");
  if (args.size() < found->least || args.size() > found->most) return Usage(found->arity);
  const std::string problem = orv_tools::RootProblem();
  if (!problem.empty()) return Fail(kExitFailed, problem);

  const std::string key = args.empty() ? "/" : args[0];
  if (command == "get") return Get(key);
  if (command == "set") return Set(key, args[1]);
  if (command == "del") return orv::setMgmt::deleteKey(key) < 0 ? StoreFailure() : kExitOk;
  if (command == "ls") return orv_tools::ListTree(key, stdout);
  if (command == "export") return orv_tools::ExportTree(key, stdout);
  return orv_tools::ImportFile(args[0], args.size() > 1 ? args[1] : "/");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words;  // the command and its arguments
  bool options_done = false;
  for (int at = 1; at < argc; ++at) {
    const std::string arg = argv[at];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      words.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::printf("orv-settings %s\n", orv_tools::kVersion);
      return kExitOk;
    } else if (arg == "--root" || arg.rfind("--root=", 0) == 0) {
      if (arg == "--root" && at + 1 >= argc) return Usage("--root needs a DIR");
      const std::string dir = arg == "--root" ? argv[++at] : arg.substr(7);
      // An empty root would make "/" the store.
      if (dir.empty()) return Usage("--root needs a DIR, not an empty name");
      orv::setMgmt::set_root(dir);
    } else if (!words.empty()) {
      words.push_back(arg);  // a value such as "-1"
    } else {
      return Usage("unknown option \"" + arg + "\"");
    }
  }
  if (words.empty()) return Usage("no command given");
  const std::vector<std::string> args(words.begin() + 1, words.end());
  const int status = Run(words[0], args);
  if (std::fflush(stdout) != 0) return Fail(kExitFailed, "can't write the output");
  return status;
}
