// command_line.h: what orv-settings and orv-devices share on their command
// lines: the exit statuses, the one-line failure message, the option loop and
// the table of commands.
//
//   const Option kOptions[] = {{"--root", "DIR"}, {"--json", nullptr}};
//   CommandLine line;
//   const std::string problem = ParseCommandLine(argc, argv, kOptions, false, line);
//   if (!problem.empty()) return Usage("orv-devices", problem);
//
// A message is made printable exactly once, by Fail: callers pass the raw
// text (a key, a root, the store's own error), never an escaped one.

#ifndef ORV_TOOLS_COMMAND_LINE_H_
#define ORV_TOOLS_COMMAND_LINE_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace orv_tools {

// Exit statuses, the same in both tools.
constexpr int kExitOk = 0;
constexpr int kExitMissing = 1;     // no such key, device, MAC or IP
constexpr int kExitUsage = 2;       // bad usage, a bad key, value or document
constexpr int kExitFailed = 3;      // the store's root or files can't be used
constexpr int kExitUnreadable = 4;  // orv-devices: values of the store could not be read

// Fail prints "<tool>: <message>" as one line on stderr, the message made
// printable (terminal_text.h), and returns `status`.
int Fail(const char* tool, int status, const std::string& message);

// Usage is Fail with kExitUsage and a pointer to --help:
//   orv-devices: unknown option "--x" (see orv-devices --help)
int Usage(const char* tool, const std::string& problem);

// An option of a tool. `value` names its value ("DIR") for an option that
// takes one (as "--root DIR" or "--root=DIR"), null for a flag.
struct Option {
  const char* name;
  const char* value;
};

// What a command line asks for.
struct CommandLine {
  bool help = false;                          // -h or --help
  bool version = false;                       // --version
  std::vector<std::string> words;             // the command and its arguments
  std::map<std::string, std::string> values;  // given options: name -> value ("" for a flag)
};

// AnswerHelpOrVersion prints `usage` for --help, or "<tool> <version>" for
// --version, and returns true with the exit status in `status`; false when
// `line` asks for neither.
bool AnswerHelpOrVersion(const CommandLine& line, const char* tool, const char* usage, int& status);

// ParseCommandLine reads argv[1..argc) into `line`. Options may come before
// or after the command; "--" ends them. With `dashes_are_arguments`, a word
// after the command that starts with "-" and is no option is an argument
// ("set KEY -1"); otherwise it is an unknown option. A single "-" is always a
// word. Returns "" or the usage problem, e.g. `--root needs a DIR`.
std::string ParseCommandLine(int argc, const char* const* argv, const std::vector<Option>& options,
                             bool dashes_are_arguments, CommandLine& line);

// A command of a tool and the number of arguments it takes.
struct Command {
  const char* name;
  const char* alias;  // another name for it ("ls" for "list"), or null
  std::size_t least;
  std::size_t most;
  const char* arity;  // what the usage error says when the count is wrong
};

// FindCommand looks `words` up in `commands`: returns the command and leaves
// `problem` empty; or returns null with the usage problem (no command, an
// unknown one, a wrong number of arguments).
const Command* FindCommand(const std::vector<std::string>& words,
                           const std::vector<Command>& commands, std::string& problem);

// ParseNumber reads the decimal number `text`, from `low` to `high`, into
// `number`; false for anything else (blanks, signs where low is 0 included).
bool ParseNumber(const std::string& text, long low, long high, int& number);

}  // namespace orv_tools

#endif  // ORV_TOOLS_COMMAND_LINE_H_
