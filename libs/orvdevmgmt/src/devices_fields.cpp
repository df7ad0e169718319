// Field updates: one method per device attribute, each a forward into
// StoreField, which finds the attribute's row in the field table. Each logs
// its change before it takes the cache's mutex, stores the value (creating
// the device when it isn't cached) and tells the field's subscribers,
// unconditionally: an unchanged value is notified like any other.

#include <type_traits>

#include "devices_records.h"
#include "field_table.h"
#include "log_frame.h"
#include "orv/devmgmt_internals.h"

using orv::devMgmt::Device;
using orv::devmgmt_internal::field_name;
using orv::devmgmt_internal::field_of_update;
using orv::devmgmt_internal::FieldRow;
using orv::devmgmt_internal::kFieldTable;

namespace {

template <class Value>
void Store(Devices& cache, const std::string& device_id, Value Device::*member, const Value& value,
           const std::string& field_name) {
  orv::devMgmt::MutexLock hold(cache.mutex);
  auto found = cache.devices.find(device_id);
  if (found != cache.devices.end()) {
    found->second.*member = value;
    cache.notify_dev_info_updated(device_id, field_name);
    return;
  }
  // Creating the device runs the NEW_DEV callbacks, which may change the
  // cache at will and free what the arguments point into: go on with copies,
  // and drop the update when they removed the device again.
  const std::string id(device_id);
  const Value copy(value);
  Device* record = orv::devmgmt_internal::find_or_create(cache, id);
  if (record == nullptr) return;
  record->*member = copy;
  cache.notify_dev_info_updated(id, field_name);
}

// StoreField is the update method `Update` (whose name and source line the
// log line carries): the row of that method says which member to write, the
// label of the line and the name to notify.
template <auto Update, class Value>
void StoreField(Devices& cache, const std::string& device_id, const Value& value,
                const char* function, int line) {
  constexpr std::size_t kRow = field_of_update(Update);
  static_assert(kRow < orv::devmgmt_internal::kFieldCount, "an update method without a row");
  const FieldRow& row = kFieldTable[kRow];
  constexpr bool kNumber = std::is_same_v<Value, int>;
  if (orv::log::current_level >= static_cast<int>(orv::log::kInfo)) {
    orv::log::print(0, orv::log::kInfo, "orvdevmgmt", line, function,
                    kNumber ? "device_id=%s, %s=%d" : "device_id=%s, %s=%s", device_id,
                    row.log_label, value);
  }
  if constexpr (kNumber) {
    Store(cache, device_id, row.field.number, value, field_name(kRow));
  } else {
    Store(cache, device_id, row.field.text, value, field_name(kRow));
  }
}

}  // namespace

void Devices::update_onvelk(const std::string& device_id, int value) {
  StoreField<&Devices::update_onvelk>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_onguest(const std::string& device_id, int value) {
  StoreField<&Devices::update_onguest>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_profile_id(const std::string& device_id, const std::string& value) {
  StoreField<&Devices::update_profile_id>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_blocked(const std::string& device_id, int value) {
  StoreField<&Devices::update_blocked>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_display_name(const std::string& device_id, const std::string& value) {
  StoreField<&Devices::update_display_name>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_type(const std::string& device_id, const std::string& value) {
  StoreField<&Devices::update_type>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_os(const std::string& device_id, const std::string& value) {
  StoreField<&Devices::update_os>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_os_version(const std::string& device_id, const std::string& value) {
  StoreField<&Devices::update_os_version>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_model(const std::string& device_id, const std::string& value) {
  StoreField<&Devices::update_model>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_manufacturer(const std::string& device_id, const std::string& value) {
  StoreField<&Devices::update_manufacturer>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_scan_level(const std::string& device_id, int value) {
  StoreField<&Devices::update_scan_level>(*this, device_id, value, __func__, __LINE__);
}

void Devices::update_velk_device_id(const std::string& device_id, const std::string& value) {
  StoreField<&Devices::update_velk_device_id>(*this, device_id, value, __func__, __LINE__);
}
