// The dispatcher's reading of a changed key: its type, device id and MAC.
// Keys of every shape, also those the store refuses to write, so the
// classifier is driven directly (a hidden function: static build).

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "dispatcher.h"

namespace {

TEST(KeyClassifierTest, KeysAreClassifiedByTheirPieces) {
  // Key, type, device id, MAC ("-": empty). The first character is dropped
  // unexamined; names are compared whole and with their case.
  std::istringstream cases(R"(
      /devices 0 - -                    /devices/d1 1 d1 -              /devices/d1/ 1 d1 -
      /devices/d1//macs 1 d1 -          /devices/d1/macs 2 d1 -         xdevices/d1 1 d1 -
      /devices/d1/macs/aa:bb 3 d1 aa:bb /devices/d1/macs/aa:bb/x/y 3 d1 aa:bb
      /devices/d/traffic_blocked 4 d -  /devices/d/onvelk 5 d -         /devices/d/onguest 6 d -
      /devices/d/profile_id 7 d -       /devices/d/display_name/x 8 d - /devices/d/device_type 9 d -
      /devices/d/device_os 10 d -       /devices/d/device_os_version 11 d -
      /devices/d/device_model 12 d -    /devices/d/device_manufacturer 13 d -
      /devices/d/scan_level 14 d -      /devices/d/velk_device_id 15 d -
      /devices/d1/foo 16 d1 -           /devices/d1/MACS/m1 16 d1 -     /devices/d1/onvelk_old 16 d1 -
      /devices/ 17 - -                  /devices//display_name 17 - -   /devices/d1/macs/ 17 d1 -
      /devices/d1/macs//m1 17 d1 -      /other/x 17 - -                 /devicesX/d1 17 - -
      /Devices/d1 17 - -                - 17 - -)");
  std::string key, type, id, mac;
  int rows = 0;
  for (; cases >> key >> type >> id >> mac; ++rows) {
    const auto parsed = orv::devmgmt_internal::classify_device_key(key == "-" ? "" : key);
    EXPECT_EQ(std::to_string(parsed.type) + " " + parsed.device_id + " " + parsed.mac,
              type + " " + (id == "-" ? "" : id) + " " + (mac == "-" ? "" : mac))
        << key;
  }
  EXPECT_EQ(rows, 31);
}

}  // namespace
