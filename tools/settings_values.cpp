#include "settings_values.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "device_values.h"
#include "orv/settings.h"
#include "settings_json.h"
#include "settings_tree.h"
#include "terminal_text.h"

namespace orv_tools {
namespace {

constexpr std::size_t kMaxValueSize = orv::setMgmt::kMaxValueSize;

// ReadInput reads stdin into `value`, at most one byte more than a value may
// hold: enough to know it is too large without holding all of it.
int ReadInput(const std::string& key, std::string& value) {
  char buffer[65536];
  while (value.size() <= kMaxValueSize) {
    const std::size_t wanted = std::min(sizeof buffer, kMaxValueSize + 1 - value.size());
    const std::size_t got = std::fread(buffer, 1, wanted, stdin);
    value.append(buffer, got);
    if (got < wanted) break;
  }
  if (std::ferror(stdin)) return Fail(kExitFailed, "can't read the value from standard input");
  if (value.size() > kMaxValueSize) {
    return Fail(kExitUsage, key + ": the value on standard input is larger than " +
                                std::to_string(kMaxValueSize) + " bytes");
  }
  return kExitOk;
}

}  // namespace

int GetValue(const std::string& key, bool json) {
  std::string value;
  if (orv::setMgmt::getKey(key, value) < 0) return StoreFailure();
  if (json) {
    JsonPtr entry(json_object());
    json_object_set_new(entry.get(), "key", TextJson(key));
    json_object_set_new(entry.get(), "value", TextJson(value));
    value = CompactJson(entry.get()) + "\n";
  } else if (isatty(STDOUT_FILENO)) {
    // A value comes from the LAN: on a terminal it must not drive it.
    value = Printable(value) + "\n";
  }
  std::fwrite(value.data(), 1, value.size(), stdout);
  return kExitOk;
}

int SetValue(const std::string& key, const std::string& value, bool raw) {
  std::string input;
  if (value == "-") {
    const int status = ReadInput(key, input);
    if (status != kExitOk) return status;
  }
  const std::string& text = value == "-" ? input : value;
  const std::string problem = raw ? "" : DeviceValueProblem(key, text);
  if (!problem.empty()) return Fail(kExitUsage, problem + " (--raw stores it anyway)");
  return orv::setMgmt::setKey(key, text) < 0 ? StoreFailure() : kExitOk;
}

}  // namespace orv_tools
