// device_values.h: the integer keys of a device record, read the two ways the
// device library reads them.
//
// A device's record is filled from the store twice over: when the library
// loads the tree (at start and after every reload), and from each change it
// is told of. The two read the integer fields by different rules:
//
//   key              loaded as                            a change reads it as
//   traffic_blocked  0 for "" or "0", 1 for any other     atoi(text)
//   onvelk           the whole text as an int, else 0;    atoi(text)
//                    -1 becomes 0
//   onguest          the whole text as an int, else 0     the same
//   scan_level       the whole text as an int, else 2     atoi(text)
//
// ("The whole text": optional blanks, an optional sign, digits, optional
// blanks; atoi reads the leading number and ignores the rest, 0 for none.)
// So "true" blocks a device for every process started later and unblocks it
// in every running one. orv-settings refuses such a value unless asked.

#ifndef ORV_TOOLS_DEVICE_VALUES_H_
#define ORV_TOOLS_DEVICE_VALUES_H_

#include <string>

namespace orv_tools {

// DeviceValueProblem returns "" when `key` is no integer key of a device
// (/devices/<id>/traffic_blocked, onvelk, onguest or scan_level), or when
// both rules read `value` as the same int. Otherwise one line saying what
// each rule makes of it, e.g.
//   /devices/tv/traffic_blocked: "true" loads as 1, a change reads it as 0
// and for a number out of an int's range (atoi's result is then the
// platform's: 1215752191 on 64-bit hosts)
//   /devices/tv/scan_level: "99999999999" is out of an int's range: it loads
//   as 2, a change reads it as 1215752191
std::string DeviceValueProblem(const std::string& key, const std::string& value);

}  // namespace orv_tools

#endif  // ORV_TOOLS_DEVICE_VALUES_H_
