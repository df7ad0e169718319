// devices_format.h: how orv-devices shows device records, as terminal text
// and as JSON. The terminal text shows every text from the store made
// printable (terminal_text.h): names and MACs come from the LAN.

#ifndef ORV_TOOLS_DEVICES_FORMAT_H_
#define ORV_TOOLS_DEVICES_FORMAT_H_

#include <jansson.h>

#include <string>
#include <vector>

#include "orv/devmgmt.h"

namespace orv_tools {

// DisplayWidth counts the code points of UTF-8 `text` (the columns it takes
// on a terminal for most scripts).
std::size_t DisplayWidth(const std::string& text);

// Bindings shows a device's MAC/IP pairs: "mac ip, mac (no IP)"; "-" for none.
std::string Bindings(const orv::devMgmt::Device& device);

// FieldText shows one field of `device` by its storage name ("display_name",
// "macs", "traffic_blocked", ...); "" for an unknown name.
std::string FieldText(const orv::devMgmt::Device& device, const std::string& field);

// DeviceTable lays `devices` out as a table with aligned columns, a header
// line first, one line per device in the given order.
std::string DeviceTable(const std::vector<orv::devMgmt::Device>& devices);

// DeviceDetails shows every field of one device, one "name: value" a line.
std::string DeviceDetails(const orv::devMgmt::Device& device);

// JsonText makes a JSON string of `text`; bytes that are not UTF-8 become
// U+FFFD, so that nothing is lost silently and the document stays valid.
json_t* JsonText(const std::string& text);

// DeviceJson makes the JSON object of a record; "macs" is an array of
// {"mac": ..., "ip": ...}. The caller owns it.
json_t* DeviceJson(const orv::devMgmt::Device& device);

// FieldJson makes the JSON value of one field: an integer for the four
// integer fields, the bindings array for "macs", a string otherwise.
json_t* FieldJson(const orv::devMgmt::Device& device, const std::string& field);

// JsonLine renders `value` compactly on one line (no line end) and releases it.
std::string JsonLine(json_t* value);

}  // namespace orv_tools

#endif  // ORV_TOOLS_DEVICES_FORMAT_H_
