#include "field_table.h"

#include <vector>

namespace orv {
namespace devmgmt_internal {

namespace {

// The names, built once from the table and never destroyed (see field_name).
const std::vector<std::string>& Names() {
  static const std::vector<std::string>& names = *[] {
    auto* built = new std::vector<std::string>;
    for (const FieldRow& row : kFieldTable) built->emplace_back(row.field.name);
    return built;
  }();
  return names;
}

}  // namespace

const std::string& field_name(std::size_t index) { return Names()[index]; }

std::size_t field_for_key(DeviceKeyType type) {
  std::size_t index = 0;
  while (index < kFieldCount && kFieldTable[index].key_type != type) ++index;
  return index;
}

}  // namespace devmgmt_internal

namespace devMgmt {

const std::vector<DeviceField>& device_fields() {
  static const std::vector<DeviceField>& fields = *[] {
    auto* built = new std::vector<DeviceField>;
    for (const devmgmt_internal::FieldRow& row : devmgmt_internal::kFieldTable) {
      built->push_back(row.field);
    }
    return built;
  }();
  return fields;
}

const std::vector<std::string>& device_field_names() { return devmgmt_internal::Names(); }

}  // namespace devMgmt
}  // namespace orv
