#include "command_line.h"

#include <cstdio>

#include "terminal_text.h"
#include "tools_version.h"

namespace orv_tools {
namespace {

const Option* FindOption(const std::vector<Option>& options, const std::string& name) {
  for (const Option& option : options) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

}  // namespace

int Fail(const char* tool, int status, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", tool, Printable(message).c_str());
  return status;
}

bool AnswerHelpOrVersion(const CommandLine& line, const char* tool, const char* usage,
                         int& status) {
  if (line.help) {
    status = std::fputs(usage, stdout) < 0 ? kExitFailed : kExitOk;
  } else if (line.version) {
    status = std::printf("%s %s\n", tool, kVersion) < 0 ? kExitFailed : kExitOk;
  }
  return line.help || line.version;
}

int Usage(const char* tool, const std::string& problem) {
  return Fail(tool, kExitUsage, problem + " (see " + tool + " --help)");
}

std::string ParseCommandLine(int argc, const char* const* argv, const std::vector<Option>& options,
                             bool dashes_are_arguments, CommandLine& line) {
  bool options_done = false;
  for (int at = 1; at < argc; ++at) {
    const std::string arg = argv[at];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      line.words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      line.help = true;
      continue;
    }
    if (arg == "--version") {
      line.version = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const Option* option = FindOption(options, name);
    if (option == nullptr || (option->value == nullptr && equals != std::string::npos)) {
      if (dashes_are_arguments && !line.words.empty()) {
        line.words.push_back(arg);  // a value such as "-1"
        continue;
      }
      if (option != nullptr) return name + " takes no value";
      return "unknown option \"" + arg + "\"";
    }
    if (option->value == nullptr) {
      line.values[name] = "";
    } else if (equals != std::string::npos) {
      line.values[name] = arg.substr(equals + 1);
    } else if (at + 1 < argc) {
      line.values[name] = argv[++at];
    } else {
      return name + " needs a " + option->value;
    }
  }
  return "";
}

const Command* FindCommand(const std::vector<std::string>& words,
                           const std::vector<Command>& commands, std::string& problem) {
  if (words.empty()) {
    problem = "no command given";
    return nullptr;
  }
  for (const Command& command : commands) {
    if (words[0] != command.name && (command.alias == nullptr || words[0] != command.alias)) {
      continue;
    }
    const std::size_t args = words.size() - 1;
    if (args < command.least || args > command.most) {
      problem = command.arity;
      return nullptr;
    }
    problem.clear();
    return &command;
  }
  problem = "unknown command \"" + words[0] + "\"";
  return nullptr;
}

bool ParseNumber(const std::string& text, long low, long high, int& number) {
  std::size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-' && low < 0;
  if (negative) ++at;
  if (at == text.size() || text.size() - at > 10) return false;
  long long value = 0;  // ten digits fit, whatever the width of long
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    value = value * 10 + (text[at] - '0');
  }
  if (negative) value = -value;
  if (value < low || value > high) return false;
  number = static_cast<int>(value);
  return true;
}

}  // namespace orv_tools
