#include "devices_format.h"

#include <algorithm>
#include <cstdlib>

#include "terminal_text.h"

namespace orv_tools {

using orv::devMgmt::Device;
using orv::devMgmt::MacIp;

namespace {

using orv::devMgmt::DeviceField;

// FindField returns the library's description of field `name`, or null.
const DeviceField* FindField(const std::string& name) {
  for (const DeviceField& field : orv::devMgmt::device_fields()) {
    if (name == field.name) return &field;
  }
  return nullptr;
}

// OrDash shows a text field in the table: printable, "-" when empty.
std::string OrDash(const std::string& text) { return text.empty() ? "-" : Printable(text); }

// Utf8Length returns the length of the UTF-8 sequence at `at`, 0 if invalid.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80                   ? 1
                       : lead >= 0xc2 && lead < 0xe0 ? 2
                       : lead >= 0xe0 && lead < 0xf0 ? 3
                       : lead >= 0xf0 && lead < 0xf5 ? 4
                                                     : 0;
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::size_t DisplayWidth(const std::string& text) {
  std::size_t width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++width;
  }
  return width;
}

std::string Bindings(const Device& device) {
  std::string out;
  for (const MacIp& binding : device.macs) {
    if (!out.empty()) out += ", ";
    out += Printable(binding.mac) + (binding.ip.empty() ? " (no IP)" : " " + Printable(binding.ip));
  }
  return out.empty() ? "-" : out;
}

std::string FieldText(const Device& device, const std::string& name) {
  const DeviceField* field = FindField(name);
  if (field == nullptr) return "";
  if (field->number != nullptr) return std::to_string(device.*field->number);
  if (field->text != nullptr) return "\"" + Printable(device.*field->text) + "\"";
  return Bindings(device);  // "macs"
}

std::string DeviceTable(const std::vector<Device>& devices) {
  std::vector<std::vector<std::string>> rows = {
      {"ID", "NAME", "TYPE", "OS", "BLOCKED", "GUEST", "SCAN", "MAC/IP"}};
  for (const Device& device : devices) {
    std::string os = device.device_os;
    if (!device.device_os_version.empty()) os += (os.empty() ? "" : " ") + device.device_os_version;
    rows.push_back({Printable(device.device_id), OrDash(device.display_name),
                    OrDash(device.device_type), OrDash(os), std::to_string(device.blocked),
                    std::to_string(device.onguest), std::to_string(device.scan_level),
                    Bindings(device)});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], DisplayWidth(row[column]));
    }
  }
  std::string out;
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column) {
      out += row[column];
      if (column + 1 == row.size()) break;  // the last column is not padded
      out.append(widths[column] - DisplayWidth(row[column]) + 2, ' ');
    }
    out += '\n';
  }
  return out;
}

std::string DeviceDetails(const Device& device) {
  std::string out = "device_id: " + Printable(device.device_id) + "\n";
  for (const std::string& field : orv::devMgmt::device_field_names()) {
    if (field == "macs") continue;
    out += field + ": " + FieldText(device, field) + "\n";
  }
  out += "macs:";
  if (device.macs.empty()) out += " -";
  out += "\n";
  for (const MacIp& binding : device.macs) {
    out += "  " + Printable(binding.mac) + "  " +
           (binding.ip.empty() ? "(no IP)" : Printable(binding.ip)) + "\n";
  }
  return out;
}

json_t* JsonText(const std::string& text) {
  json_t* value = json_stringn(text.data(), text.size());
  if (value != nullptr) return value;
  std::string clean;  // not UTF-8, or a NUL byte: replace what is wrong
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8Length(text, at);
    if (length == 0 || text[at] == '\0') {
      clean += "\xef\xbf\xbd";
      ++at;
    } else {
      clean.append(text, at, length);
      at += length;
    }
  }
  return json_stringn(clean.data(), clean.size());
}

json_t* FieldJson(const Device& device, const std::string& name) {
  const DeviceField* field = FindField(name);
  if (field == nullptr) return json_null();
  if (field->number != nullptr) return json_integer(device.*field->number);
  if (field->text != nullptr) return JsonText(device.*field->text);
  json_t* bindings = json_array();  // "macs" = json_array();
  for (const MacIp& binding : device.macs) {
    json_t* pair = json_object();
    json_object_set_new(pair, "mac", JsonText(binding.mac));
    json_object_set_new(pair, "ip", JsonText(binding.ip));
    json_array_append_new(bindings, pair);
  }
  return bindings;
}

json_t* DeviceJson(const Device& device) {
  json_t* object = json_object();
  json_object_set_new(object, "device_id", JsonText(device.device_id));
  for (const std::string& field : orv::devMgmt::device_field_names()) {
    json_object_set_new(object, field.c_str(), FieldJson(device, field));
  }
  return object;
}

std::string JsonLine(json_t* value) {
  char* text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  json_decref(value);
  if (text == nullptr) return "null";
  std::string line(text);
  std::free(text);
  return line;
}

}  // namespace orv_tools
