#include "devices_sync.h"

#include <cstdint>

#include "devices_format.h"
#include "orv/devmgmt.h"
#include "orv/settings.h"
#include "terminal_text.h"

namespace orv_tools {

using orv::devMgmt::SyncStatus;

std::string StoreProblem(const SyncStatus& status, const std::string& fallback) {
  // The store's error says why it can't be watched; the wait's only that it
  // gave up ("timed out").
  const std::string& why = status.last_store_error.empty() ? fallback : status.last_store_error;
  return "store " + orv::setMgmt::root() + ": " + why;
}

int WaitForSync(int timeout_ms) {
  if (timeout_ms != 0) return orv::devMgmt::wait_for_sync(timeout_ms);
  constexpr int kTimedOut = 110;
  int result;
  while ((result = orv::devMgmt::wait_for_sync(60 * 1000)) != 0 && orverrno.code() == kTimedOut) {
  }
  return result;
}

std::string SyncProblem(int timeout_ms) {
  if (WaitForSync(timeout_ms) == 0) return "";
  const std::string waited = orverrno.message();
  SyncStatus status;
  orv::devMgmt::get_sync_status(status);
  return StoreProblem(status, waited);
}

std::string SyncStatusText(const SyncStatus& status) {
  const auto yes_no = [](bool flag) { return flag ? "yes" : "no"; };
  std::string out;
  out += std::string("running: ") + yes_no(status.running) + "\n";
  out += std::string("watching: ") + yes_no(status.watching) + "\n";
  out += "loads: " + std::to_string(status.loads) + "\n";
  out += "last_load_devices: " + std::to_string(status.last_load_devices) + "\n";
  out += "last_load_us: " + std::to_string(status.last_load_us) + "\n";
  out += "last_load_unreadable: " + std::to_string(status.last_load_unreadable) + "\n";
  out += "changes_applied: " + std::to_string(status.changes_applied) + "\n";
  out += "descriptors_lost: " + std::to_string(status.descriptors_lost) + "\n";
  out += "last_change_ms: " + std::to_string(status.last_change_ms) + "\n";
  out += "last_store_error: \"" + Printable(status.last_store_error) + "\"\n";
  return out;
}

json_t* SyncStatusJson(const SyncStatus& status) {
  const auto number = [](auto value) { return json_integer(static_cast<json_int_t>(value)); };
  json_t* out = json_object();
  json_object_set_new(out, "running", json_boolean(status.running));
  json_object_set_new(out, "watching", json_boolean(status.watching));
  json_object_set_new(out, "loads", number(status.loads));
  json_object_set_new(out, "last_load_devices", number(status.last_load_devices));
  json_object_set_new(out, "last_load_us", number(status.last_load_us));
  json_object_set_new(out, "last_load_unreadable", number(status.last_load_unreadable));
  json_object_set_new(out, "changes_applied", number(status.changes_applied));
  json_object_set_new(out, "descriptors_lost", number(status.descriptors_lost));
  json_object_set_new(out, "last_change_ms", number(status.last_change_ms));
  json_object_set_new(out, "last_store_error", JsonText(status.last_store_error));
  return out;
}

}  // namespace orv_tools
