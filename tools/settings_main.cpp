// orv-settings: reads and writes the gateway's settings store from the shell.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "orv/settings.h"
#include "settings_tree.h"

namespace {

using orv_tools::Fail;
using orv_tools::kExitMissing;
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
    "  get KEY                print the value at KEY\n"
    "  set KEY VALUE          store VALUE at KEY, creating the nodes above it\n"
    "  del KEY                delete the value or the node at KEY with all below it\n"
    "  ls [KEY]               print the tree below KEY (default /), indented\n"
    "  export [KEY]           print the tree below KEY as JSON: objects are nodes,\n"
    "                         strings are values\n"
    "  import FILE [KEY]      write a JSON document (FILE - is stdin) below KEY\n"
    "                         (default /); numbers are stored as their text;\n"
    "                         keys not in the document are left alone\n"
    "\n"
    "Keys start with \"/\", e.g. /devices/tv-living/display_name.\n"
    "\n"
    "exit status: 0 done, 1 no such key, 2 bad usage, a bad key or a bad\n"
    "document, 3 the store's files or FILE can't be read or written\n";

int Usage(const std::string& problem) {
  return Fail(kExitUsage, problem + " (see orv-settings --help)");
}

// Arity checks that `command` got between `least` and `most` arguments.
bool Arity(const std::vector<std::string>& args, std::size_t least, std::size_t most) {
  return args.size() >= least && args.size() <= most;
}

int Get(const std::string& key) {
  std::string value;
  if (orv::setMgmt::getKey(key, value) < 0) return StoreFailure();
  std::fwrite(value.data(), 1, value.size(), stdout);
  std::fputc('\n', stdout);
  return kExitOk;
}

int Run(const std::string& command, const std::vector<std::string>& args) {
  if (command == "get") {
    if (!Arity(args, 1, 1)) return Usage("get needs one KEY");
    return Get(args[0]);
  }
  if (command == "set") {
    if (!Arity(args, 2, 2)) return Usage("set needs a KEY and a VALUE");
    return orv::setMgmt::setKey(args[0], args[1]) < 0 ? StoreFailure() : kExitOk;
  }
  if (command == "del") {
    if (!Arity(args, 1, 1)) return Usage("del needs one KEY");
    return orv::setMgmt::deleteKey(args[0]) < 0 ? StoreFailure() : kExitOk;
  }
  if (command == "ls") {
    if (!Arity(args, 0, 1)) return Usage("ls takes at most one KEY");
    return orv_tools::ListTree(args.empty() ? "/" : args[0], stdout);
  }
  if (command == "export") {
    if (!Arity(args, 0, 1)) return Usage("export takes at most one KEY");
    return orv_tools::ExportTree(args.empty() ? "/" : args[0], stdout);
  }
  if (command == "import") {
    if (!Arity(args, 1, 2)) return Usage("import needs a FILE and takes at most one KEY");
    return orv_tools::ImportFile(args[0], args.size() > 1 ? args[1] : "/");
  }
  return Usage("unknown command \"" + command + "\"");
}

}  // namespace

int main(int argc, char** argv) {
  int at = 1;
  // Options come before the command, so that a value may start with "-".
  for (; at < argc && argv[at][0] == '-'; ++at) {
    const std::string option = argv[at];
    if (option == "-h" || option == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (option == "--root") {
      if (at + 1 >= argc) return Usage("--root needs a DIR");
      orv::setMgmt::set_root(argv[++at]);
    } else if (option.rfind("--root=", 0) == 0) {
      orv::setMgmt::set_root(option.substr(std::strlen("--root=")));
    } else if (option == "--") {
      ++at;
      break;
    } else {
      return Usage("unknown option \"" + option + "\"");
    }
  }
  if (at >= argc) return Usage("no command given");
  const std::string command = argv[at];
  const std::vector<std::string> args(argv + at + 1, argv + argc);
  const int status = Run(command, args);
  if (std::fflush(stdout) != 0) return Fail(orv_tools::kExitFailed, "can't write the output");
  return status;
}
