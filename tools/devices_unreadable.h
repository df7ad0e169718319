// devices_unreadable.h: which values of a device the store could not hand
// over. The library reads a value it can't read as its default (an empty
// name, not blocked), so its record alone can't tell "empty" from
// "unreadable"; orv-devices asks the store again to say which is which.

#ifndef ORV_TOOLS_DEVICES_UNREADABLE_H_
#define ORV_TOOLS_DEVICES_UNREADABLE_H_

#include <string>
#include <vector>

namespace orv_tools {

// UnreadableValues reads every field key of the device `device_id`, its
// "macs" node and each binding below it, and returns one line per key the
// store refused for another reason than its absence: the store's own error,
// which names the key and why, e.g.
//   read key /devices/tv/display_name: Permission denied
// Empty when everything could be read.
std::vector<std::string> UnreadableValues(const std::string& device_id);

}  // namespace orv_tools

#endif  // ORV_TOOLS_DEVICES_UNREADABLE_H_
