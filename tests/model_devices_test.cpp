// The cache against a small reference model: random runs of binding changes,
// field updates, removals, (un)subscriptions to fields, to keys (extended
// regular expressions, searched) and to traffic reports, and key walks, on
// g_devices. After each step the log lines, the callbacks heard (in order,
// and whether each found its device), the reports, and every query's result,
// orverrno and output are what the model predicts.

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/library.h"
#include "support/model.h"

namespace {

namespace api = orv::devMgmt;
using api::Device;

// A client's texts are no formats: an id and a value hold conversions.
const char* const kIds[] = {"d1", "d2", "d10", "d%s%n", "d\xff"};  // the last is not UTF-8
const char* const kMacs[] = {"m1", "m2", "m3", "M1", "m\xff"};     // the last is not UTF-8
const char* const kIps[] = {"", "i1", "i2", "i\xfe"};
struct Field {
  const char* label;  // as the log names it
  const char* name;   // as subscribers know it
  void (Devices::*text)(const std::string&, const std::string&);
  void (Devices::*number)(const std::string&, int);
  std::string Device::*text_member;
  int Device::*number_member;
};
const Field kFields[] = {
    {"onvelk", "onvelk", nullptr, &Devices::update_onvelk, nullptr, &Device::onvelk},
    {"onguest", "onguest", nullptr, &Devices::update_onguest, nullptr, &Device::onguest},
    {"profile_id", "profile_id", &Devices::update_profile_id, nullptr, &Device::profile_id,
     nullptr},
    {"blocked", "traffic_blocked", nullptr, &Devices::update_blocked, nullptr, &Device::blocked},
    {"display_name", "display_name", &Devices::update_display_name, nullptr, &Device::display_name,
     nullptr},
    {"type", "device_type", &Devices::update_type, nullptr, &Device::device_type, nullptr},
    {"os", "device_os", &Devices::update_os, nullptr, &Device::device_os, nullptr},
    {"os_version", "device_os_version", &Devices::update_os_version, nullptr,
     &Device::device_os_version, nullptr},
    {"model", "device_model", &Devices::update_model, nullptr, &Device::device_model, nullptr},
    {"manufacturer", "device_manufacturer", &Devices::update_manufacturer, nullptr,
     &Device::device_manufacturer, nullptr},
    {"scan_level", "scan_level", nullptr, &Devices::update_scan_level, nullptr,
     &Device::scan_level},
    {"velk_device_id", "velk_device_id", &Devices::update_velk_device_id, nullptr,
     &Device::velk_device_id, nullptr},
};
const int kNumbers[] = {-1, 7, 2147483647};
const char* const kTexts[] = {"", "%s%n\n\x7f", "t\xc3\xa9"};
// The subscribers' names: the 12 fields, then "macs".
std::string Subscribed(int slot) { return slot == 12 ? "macs" : kFields[slot].name; }

// Key expressions (the traffic reports' own first; the last is invalid), and
// what follows "/devices/<id>" in a key walked.
const char* const kRegexes[] = {"/devices/.*/traffic_blocked", "1+/", "^/devices/d.$", "e$", "("};
const char* const kSuffixes[] = {"/traffic_blocked", "/display_name", "\n", "\x7f/traffic_blocked"};

// kKey registers (value 0), unregisters (1) or walks (2); kReport registers
// (value 0) or unregisters a traffic report function.
enum Kind { kNewMacIp, kRemoveMac, kRemoveMacs, kRemoveDev, kUpdate, kSet, kUnset, kKey, kReport };
struct Step {
  Kind kind;
  int id, mac, ip, field, value, callback, fields;  // indexes; `fields` a mask of 13 bits
  int regex, key;
};
void showValue(const Step& s, std::ostream& out) {
  out << s.kind << " " << kIds[s.id] << " " << kMacs[s.mac] << " " << kIps[s.ip] << " f" << s.field
      << " v" << s.value << " cb" << s.callback << " mask" << s.fields << " re" << s.regex << " k"
      << s.key;
}

// What the callbacks heard: "<n> new|upd|del <id> <field> exists=<0|1>".
Texts g_heard;
template <int kN>
void Heard(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  static const char* const kTypes[] = {" new ", " upd ", " del "};
  g_heard.push_back(std::to_string(kN) + kTypes[type] + id + " " + field +
                    " exists=" + std::to_string(api::device_exists(id)));
  // 3 leaves the field it hears of mid-walk, and takes 0 with it.
  if (kN == 3 && !field.empty()) api::unset_on_dev_info_change({field}, Heard<3>);
  if (kN == 3 && !field.empty()) api::unset_on_dev_info_change({field}, Heard<0>);
}
// The last, no function, is never registered.
const DevInfoChangeCallback kCallbacks[] = {Heard<0>, Heard<1>, Heard<2>, Heard<3>, nullptr};

// Key subscribers: 0 and 1 listen; 2 meddles (drops 1 and itself under
// kRegexes[1], adds 0 under kRegexes[3]); 3 throws. Reports go to "report" or "latest".
template <int kN>
void KeyHeard(const std::string& key) {
  g_heard.push_back("key" + std::to_string(kN) + " " + key);
  if (kN == 2) api::unset_on_key_change(kRegexes[1], KeyHeard<1>);
  if (kN == 2) api::unset_on_key_change(kRegexes[1], KeyHeard<2>);  // must not wait for itself
  if (kN == 2) api::set_on_key_change(kRegexes[3], KeyHeard<0>);
  if (kN == 3) throw std::runtime_error("key subscriber failed");
}
const KeyChangeCallback kKeyCallbacks[] = {KeyHeard<0>, KeyHeard<1>, KeyHeard<2>, KeyHeard<3>,
                                           nullptr};
template <int kN>
void Reported(json_t* document) {
  g_heard.push_back((kN == 0 ? "report " : "latest ") + Dump(document));
  json_decref(document);
}
const TrafficBlockedCallback kReporters[] = {Reported<0>, Reported<1>, nullptr};
constexpr int kTraffic = 5;  // the reports' own key subscriber, in the model

// Escaped is a key as the log shows it; Quoted a text as a JSON string, ""
// when it is not UTF-8 (of the texts here, those with \xfe or \xff).
std::string Escaped(std::string text) {
  for (std::size_t at; (at = text.find_first_of("\n\x7f")) != std::string::npos;) {
    text.replace(at, 1, text[at] == '\n' ? "\\x0a" : "\\x7f");
  }
  return text;
}
std::string Quoted(const std::string& text) {
  return text.find_first_of("\xfe\xff") == std::string::npos ? "\"" + text + "\"" : "";
}

// Model is the cache as the design describes it, with the lines and calls
// each change makes.
struct Model {
  std::map<std::string, Device> devices;
  std::map<std::string, std::string> index;
  std::map<std::string, std::vector<int>> subscribers;  // by field, in registration order
  std::vector<std::pair<int, std::vector<int>>> keys;   // by expression, in creation order
  int reporter = 2;                                     // none
  Texts log, heard;

  std::string KeySet(int regex, int n) {
    if (n == 4) return "-1 22 null callback";
    for (auto& entry : keys) {
      if (entry.first == regex) return entry.second.push_back(n), "0 99 sentinel";
    }
    if (regex == 4) {
      log.push_back(std::string("0 add_key: Failed to monitor key ") + kRegexes[regex]);
      return "-1 4 invalid key_regex";
    }
    log.push_back(std::string("3 KeySpy: Monitoring key ") + kRegexes[regex]);
    keys.push_back({regex, {n}});
    return "0 99 sentinel";
  }
  std::string KeyUnset(int regex, int n) {
    auto entry = std::find_if(keys.begin(), keys.end(), [&](auto& e) { return e.first == regex; });
    if (entry == keys.end()) {
      log.push_back(std::string("2 remove_key: Key ") + kRegexes[regex] + " not monitored");
      return "0 99 sentinel";
    }
    auto& list = entry->second;
    list.erase(std::remove(list.begin(), list.end(), n), list.end());
    if (list.empty()) {
      keys.erase(entry);
      log.push_back(std::string("3 remove_key: Key regex ") + kRegexes[regex] +
                    " completely removed");
    }
    return "0 99 sentinel";
  }
  // Pick makes an unset name a registered function and what it is registered
  // for (a set too when `ip` is 0: a function registered again), and a walk a
  // device cached, when there are some.
  Step Pick(Step s) const {
    if ((s.kind == kSet || s.kind == kUnset) && (s.kind == kUnset || s.ip == 0) &&
        !subscribers.empty()) {
      const auto& [field, list] = *std::next(subscribers.begin(), s.regex % subscribers.size());
      s.callback = list[s.key % list.size()];
      for (int slot = 0; slot < 13; ++slot) s.fields |= (Subscribed(slot) == field) << slot;
    }
    if (s.kind == kKey && s.value == 2 && !devices.empty()) {
      const std::string& id = std::next(devices.begin(), s.id % devices.size())->first;
      s.id = static_cast<int>(std::find(std::begin(kIds), std::end(kIds), id) - std::begin(kIds));
    }
    if (s.kind != kKey || keys.empty() || s.value == 2 || (s.value == 0 && s.ip != 0)) return s;
    const auto& [regex, callbacks] = keys[s.regex % keys.size()];
    const int n = callbacks[s.callback % callbacks.size()];
    if (n != kTraffic) s.regex = regex, s.callback = n;
    return s;
  }
  // Report is the traffic report of the device named in `key`.
  void Report(const std::string& key) {
    const std::string id = key.substr(9, key.find('/', 9) - 9);
    log.push_back("3 traffic_blocked_change: Getting traffic_blocked status for device " +
                  Escaped(id));
    if (!devices.count(id)) {
      return log.push_back("2 get_device_traffic_status: Device id " + Escaped(id) +
                           " no longer exists");
    }
    std::string macs, ips;
    for (const api::MacIp& b : devices[id].macs) {
      if (!Quoted(b.mac).empty()) macs += (macs.empty() ? "" : ",") + Quoted(b.mac);
      if (!Quoted(b.ip).empty()) ips += (ips.empty() ? "" : ",") + Quoted(b.ip);
    }
    if (macs.empty() || Quoted(id).empty()) return;  // no report names an id not UTF-8
    const std::string report = "{\"device_id\":\"" + id +
                               "\",\"blocked\":" + std::to_string(devices[id].blocked) +
                               ",\"macs\":[" + macs + "],\"ips\":[" + ips + "]}";
    log.push_back("3 Traffic blocked status: " + report);
    heard.push_back((reporter == 0 ? "report " : "latest ") + report);
  }
  // Walk matches the expressions in creation order, calling the functions
  // each held when the walk began.
  void Walk(const std::string& key) {
    bool any = false;
    for (const auto& [regex, callbacks] : std::vector<std::pair<int, std::vector<int>>>(keys)) {
      const std::string checked = "3 match_key: Checking key " + Escaped(key) + " against regex ";
      log.push_back(checked + kRegexes[regex]);
      if (!std::regex_search(key, std::regex(kRegexes[regex], std::regex::extended))) continue;
      log.push_back("3 match_key: Key " + Escaped(key) + " matches " + kRegexes[regex]);
      any = true;
      for (int n : callbacks) {
        if (n == kTraffic) Report(key);
        if (n != kTraffic) heard.push_back("key" + std::to_string(n) + " " + key);
        if (n == 2) KeyUnset(1, 1), KeyUnset(1, 2), KeySet(3, 0);
        if (n == 3) return heard.push_back("threw");
      }
    }
    heard.push_back("walk " + std::to_string(any));
  }

  void Hear(int n, const char* type, const std::string& id, const std::string& field) {
    heard.push_back(std::to_string(n) + type + id + " " + field +
                    " exists=" + std::to_string(devices.count(id)));
    if (n != 3 || field.empty()) return;
    std::vector<int>& list = subscribers[field];
    list.erase(std::remove_if(list.begin(), list.end(), [](int m) { return m == 3 || m == 0; }),
               list.end());
    if (list.empty()) subscribers.erase(field);
  }
  // Everyone: each distinct callback once, by ascending address.
  void Everyone(const char* type, const std::string& id, const std::string& what) {
    log.push_back("2 " + what);
    std::vector<int> distinct;
    for (const auto& entry : subscribers) {
      for (int n : entry.second) {
        if (std::find(distinct.begin(), distinct.end(), n) == distinct.end()) distinct.push_back(n);
      }
    }
    std::sort(distinct.begin(), distinct.end(), [](int a, int b) {
      return std::less<DevInfoChangeCallback>()(kCallbacks[a], kCallbacks[b]);
    });
    for (int n : distinct) Hear(n, type, id, "");
    log.push_back(log.back().substr(0, log.back().find(':') + 2) + "Called " +
                  std::to_string(distinct.size()) + " callbacks");
  }
  void Updated(const std::string& id, const std::string& field) {
    log.push_back("4 notify_dev_info_updated: Device info updated: device id=" + id +
                  " field_name=" + field);
    const std::vector<int> snapshot = subscribers[field];
    if (snapshot.empty()) subscribers.erase(field);
    for (int n : snapshot) Hear(n, " upd ", id, field);
  }
  Device& Find(const std::string& id) {
    if (!devices.count(id)) {
      devices[id].device_id = id;
      Everyone(" new ", id, "notify_new_dev: New device: device id=" + id);
    }
    return devices[id];
  }
  void Unindex(const std::string& function, const std::string& mac) {
    if (index.erase(mac) == 0)
      log.push_back("0 " + function + ": BUG: mac " + mac + " not found in local cache");
  }

  void Apply(const Step& s) {
    const std::string id = kIds[s.id], mac = kMacs[s.mac], ip = kIps[s.ip];
    const Field& f = kFields[s.field];
    switch (s.kind) {
      case kNewMacIp: {
        log.push_back("3 new_mac_ip: device_id=" + id + ", mac=" + mac + ", ip=" + ip);
        auto& macs = Find(id).macs;
        auto pair = std::find_if(macs.begin(), macs.end(),
                                 [&](const api::MacIp& b) { return b.mac == mac; });
        index[mac] = id;
        if (macs.empty()) {
          log.push_back("3 new_mac_ip: New device_id=" + id + " with <mac=" + mac + ", ip=" + ip +
                        ">");
        } else if (pair == macs.end()) {
          log.push_back("3 new_mac_ip: New <mac=" + mac + ", ip=" + ip +
                        "> pair for device_id=" + id);
        } else if (pair->ip == ip) {
          return log.push_back("3 new_mac_ip: Same info");
        } else {
          log.push_back("3 new_mac_ip: ip changed from " + pair->ip + " to " + ip +
                        " for mac=" + mac + ", device_id=" + id);
          pair->ip = ip;
          return Updated(id, "macs");
        }
        macs.push_back({mac, ip});
        return Updated(id, "macs");
      }
      case kRemoveMac: {
        log.push_back("3 remove_mac: Removing mac " + mac + " for device_id " + id);
        if (!devices.count(id)) {
          return log.push_back("0 remove_mac: BUG: device_id " + id + " not found in local cache");
        }
        auto& macs = devices[id].macs;
        macs.erase(std::remove_if(macs.begin(), macs.end(),
                                  [&](const api::MacIp& b) { return b.mac == mac; }),
                   macs.end());
        if (macs.empty()) devices.erase(id);  // a device is known by its MACs
        Unindex("remove_mac", mac);
        return Updated(id, "macs");
      }
      case kRemoveMacs: {
        log.push_back("3 remove_macs: Removing macs for device_id=" + id);
        auto& macs = Find(id).macs;
        for (const api::MacIp& b : macs) Unindex("remove_macs", b.mac);
        macs.clear();
        return Updated(id, "macs");
      }
      case kRemoveDev: {
        log.push_back("3 remove_device_id: Removing device_id " + id);
        if (!devices.count(id)) {
          return log.push_back("0 remove_device_id: BUG: device_id " + id +
                               " not found in local cache");
        }
        for (const api::MacIp& b : devices[id].macs) {
          log.push_back("3 remove_device_id: mac=" + b.mac + ", ip=" + b.ip);
          Unindex("remove_device_id", b.mac);
        }
        devices.erase(id);
        return Everyone(" del ", id,
                        "notify_dev_info_removed: Device info removed: device_id=" + id);
      }
      case kUpdate: {
        const std::string value = f.text ? kTexts[s.value] : std::to_string(kNumbers[s.value]);
        log.push_back(std::string("3 update_") + f.label + ": device_id=" + id + ", " + f.label +
                      "=" + Escaped(value));
        Device& d = Find(id);
        f.text ? void(d.*f.text_member = value) : void(d.*f.number_member = kNumbers[s.value]);
        return Updated(id, f.name);
      }
      case kKey:
        if (s.value == 2) return Walk("/devices/" + id + kSuffixes[s.key]);
        return heard.push_back(s.value ? KeyUnset(s.regex, s.callback)
                                       : KeySet(s.regex, s.callback));
      case kReport:
        if (s.value == 0 && s.callback % 3 == 2) return heard.push_back("-1 22 null callback");
        if (s.value == 0) reporter = s.callback % 3;
        if (s.value == 0) return heard.push_back(KeySet(0, kTraffic));
        reporter = 2;
        return heard.push_back(KeyUnset(0, kTraffic));
      case kSet:
      case kUnset:
        for (int slot = 0; slot < 13; ++slot) {
          if (!(s.fields >> slot & 1)) continue;
          std::vector<int>& list = subscribers[Subscribed(slot)];
          if (s.kind == kSet && kCallbacks[s.callback] != nullptr)
            list.push_back(s.callback);
          else
            list.erase(std::remove(list.begin(), list.end(), s.callback), list.end());
          if (list.empty()) subscribers.erase(Subscribed(slot));
        }
    }
  }
};

class DevicesModelTest : public LibraryTest {
 protected:
  void Apply(const Step& s) {
    const std::string id = kIds[s.id], mac = kMacs[s.mac], regex = kRegexes[s.regex];
    const Field& f = kFields[s.field];
    const KeyChangeCallback key = kKeyCallbacks[s.callback];
    const TrafficBlockedCallback report = kReporters[s.callback % 3];
    orverrno.set(99, "sentinel");
    Texts names;
    for (int slot = 0; slot < 13; ++slot) {
      if (s.fields >> slot & 1) names.push_back(Subscribed(slot));
    }
    switch (s.kind) {
      case kNewMacIp:
        return g_devices.new_mac_ip(id, mac, kIps[s.ip]);
      case kRemoveMac:
        return g_devices.remove_mac(mac, id);
      case kRemoveMacs:
        return g_devices.remove_macs(id);
      case kRemoveDev:
        return g_devices.remove_device_id(id);
      case kUpdate:
        return f.text ? (g_devices.*f.text)(id, kTexts[s.value])
                      : (g_devices.*f.number)(id, kNumbers[s.value]);
      case kSet:
        return api::set_on_dev_info_change(names, kCallbacks[s.callback]);
      case kUnset:
        return api::unset_on_dev_info_change(names, kCallbacks[s.callback]);
      case kKey:
        if (s.value == 0) return g_heard.push_back(Result(api::set_on_key_change(regex, key)));
        if (s.value == 1) return g_heard.push_back(Result(api::unset_on_key_change(regex, key)));
        try {
          const bool any = g_monitored_keys.match_key("/devices/" + id + kSuffixes[s.key]);
          return g_heard.push_back("walk " + std::to_string(any));
        } catch (const std::runtime_error&) {
          return g_heard.push_back("threw");
        }
      case kReport:  // an unset ends reports whatever function it names
        return g_heard.push_back(Result(s.value ? api::unset_on_traffic_blocked_change(report)
                                                : api::set_on_traffic_blocked_change(report)));
    }
  }

  // Queries asks every query of every id, MAC and IP; returns what it got and
  // adds the lines the model predicts to `log`. Outputs start non-empty:
  // a query appends or leaves them as they were.
  static Texts Queries(const Model& m, Texts& log, bool of_cache) {
    Texts out;
    const auto said = [&out](const std::string& what, int result) {
      out.push_back(what + " -> " + std::to_string(result) + " " + std::to_string(orverrno.code()) +
                    " " + orverrno.message());
      orverrno.set(99, "sentinel");
    };
    orverrno.set(99, "sentinel");
    std::vector<Device> all(1);
    const int got = of_cache ? api::get_devices(all) : int(1 + m.devices.size());
    said("devices", got);
    if (!of_cache)
      for (const auto& entry : m.devices) all.push_back(entry.second);
    for (const Device& d : all) out.push_back(Describe(d));
    std::sort(out.begin() + 2, out.end());  // the cache keeps no order of devices
    for (const char* id : kIds) {
      const auto found = m.devices.find(id);
      const bool there = found != m.devices.end();
      const auto miss = [](int result) {
        orverrno.set(4, "not found");
        return result;
      };
      Device d;
      d.device_id = "old";
      said(std::string("exists ") + id, of_cache ? api::device_exists(id) : there);
      said(std::string("get ") + id, of_cache ? api::get_device(id, d)
                                     : there  ? (d = found->second, 1)
                                              : miss(0));
      out.push_back(Describe(d));
      said(std::string("onvelk ") + id, of_cache ? api::get_device_onvelk(id)
                                        : there  ? found->second.onvelk
                                                 : miss(-1));
      said(std::string("onguest ") + id, of_cache ? api::get_device_onguest(id)
                                         : there  ? found->second.onguest
                                                  : miss(-1));
      Texts macs = {"old"};
      if (!of_cache && there)
        for (const api::MacIp& b : found->second.macs) macs.push_back(b.mac);
      said(std::string("macs ") + id, of_cache ? api::get_device_macs(id, macs)
                                      : there  ? int(macs.size())
                                               : miss(0));
      for (const std::string& each : macs) out.back() += " " + each;
      for (const char* mac : kMacs) {
        std::string ip = "old";
        int result = -1;
        if (of_cache) {
          result = api::get_device_ip(id, mac, ip);
        } else if (there) {
          for (const api::MacIp& b : found->second.macs) {
            if (b.mac != mac || result == 0) continue;
            result = 0, ip = b.ip;
            log.push_back(std::string("3 get_device_ip: mac=") + mac + ", device_id=" + id +
                          ", ip=" + ip);
          }
        }
        if (!of_cache && result != 0) orverrno.set(5, "not found");
        said(std::string("ip ") + id + " " + mac + " " + ip, result);
      }
    }
    for (const char* mac : kMacs) {
      std::string id = "old";
      int result = -1;
      if (of_cache) {
        result = api::get_device_id_by_mac(mac, id);
      } else if (m.index.count(mac)) {
        result = 0, id = m.index.at(mac);
        log.push_back(std::string("3 get_device_id_by_mac: mac=") + mac + ", device_id=" + id);
      } else {
        orverrno.set(5, "not found");
      }
      said(std::string("by mac ") + mac + " " + id, result);
    }
    return out;
  }

  // ById asks which device holds `ip`: any that does, as the cache keeps no
  // order of devices. Returns the line it logs.
  static std::string ById(const Model& m, const std::string& ip) {
    std::string id = "old";
    orverrno.set(99, "sentinel");
    const int result = api::get_device_id_by_ip(ip, id);
    std::set<std::string> holders;
    for (const auto& [key, d] : m.devices) {
      for (const api::MacIp& b : d.macs) {
        if (b.ip == ip) holders.insert(key);
      }
    }
    const bool any = !holders.empty();
    const bool as_predicted = any ? result == 0 && holders.count(id) && orverrno.code() == 99
                                  : result == -1 && id == "old" && orverrno.code() == 5 &&
                                        orverrno.message() == "not found";
    RC_ASSERT(as_predicted);
    return any ? "3 get_device_id_by_ip: ip=" + ip + ", device_id=" + id : "";
  }

  // Framed checks that each line caught carries the library's frame: its
  // name, then the function's.
  void Framed() const {
    const std::vector<LogLine> lines = log_.Lines();
    const Texts messages = log_.Messages();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (messages[i].rfind("3 Traffic blocked status: ", 0) == 0) continue;  // no frame
      const std::string function = messages[i].substr(2, messages[i].find(':') - 2);
      RC_ASSERT(lines[i].text.rfind("[orvdevmgmt:", 0) == 0u);
      RC_ASSERT(lines[i].text.find("][" + function + "()]: ") != std::string::npos);
    }
  }

  void Check(const std::vector<Step>& steps) {
    Model m;
    for (const Step& drawn : steps) {
      const Step s = m.Pick(drawn);
      log_.Clear();
      g_heard.clear();
      Apply(s);
      m.log.clear();
      m.heard.clear();
      m.Apply(s);
      RC_ASSERT(log_.Messages() == m.log);
      Framed();
      RC_ASSERT(g_heard == m.heard);
      log_.Clear();
      Texts want_log;
      const Texts got = Queries(m, want_log, true);
      RC_ASSERT(got == Queries(m, want_log, false));
      for (const char* ip : kIps) {
        const std::string line = ById(m, ip);
        if (!line.empty()) want_log.push_back(line);
      }
      RC_ASSERT(log_.Messages() == want_log);
      Framed();
    }
  }
};

// How often each kind of step is drawn.
const int kWeights[] = {8, 3, 2, 2, 6, 3, 2, 9, 2};
Kind Draw(int n) {
  int kind = 0;
  while (n >= kWeights[kind]) n -= kWeights[kind++];
  return Kind(kind);
}
// Steps are drawn at full size: the size scales a range down, which would
// leave the later kinds, fields and callbacks out of short runs.
rc::Gen<std::vector<Step>> GenSteps() {
  return rc::gen::container<std::vector<Step>>(rc::gen::resize(
      100, rc::gen::construct<Step>(
               rc::gen::map(rc::gen::inRange(0, 37), Draw), rc::gen::inRange(0, 5),
               rc::gen::inRange(0, 5), rc::gen::inRange(0, 4), rc::gen::inRange(0, 12),
               rc::gen::inRange(0, 3), rc::gen::inRange(0, 5), rc::gen::inRange(0, 1 << 13),
               rc::gen::inRange(0, 5), rc::gen::inRange(0, 4))));
}

TEST_F(DevicesModelTest, CacheAnswersLogsAndNotifiesAsTheModel) {
  CheckModel(200, 80, [this] {
    TearDown();  // each case starts from an empty cache with nobody subscribed
    std::vector<Step> steps = *GenSteps();
    steps.insert(steps.begin(), Step{kReport, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // reports on
    Check(steps);
  });
}

}  // namespace
