// settings_values.h: orv-settings get and set, one value at a time.

#ifndef ORV_TOOLS_SETTINGS_VALUES_H_
#define ORV_TOOLS_SETTINGS_VALUES_H_

#include <string>

namespace orv_tools {

// GetValue prints the value at `key`. Into a pipe or a file it prints the
// stored bytes and nothing else, so that `get KEY | set KEY2 -` copies a
// value exactly; on a terminal the value made printable and a line end; with
// `json` one object, {"key":K,"value":V}, and a line end. Returns an exit
// status.
int GetValue(const std::string& key, bool json);

// SetValue stores `value` at `key`; the value "-" reads it from stdin, and
// reading stops once the input is larger than a value may be (the store's
// kMaxValueSize), which is then refused. Unless `raw`, a value of a device's
// integer key that the device library would read two ways (see
// device_values.h) is refused, saying what each way makes of it. Returns an
// exit status.
int SetValue(const std::string& key, const std::string& value, bool raw);

}  // namespace orv_tools

#endif  // ORV_TOOLS_SETTINGS_VALUES_H_
