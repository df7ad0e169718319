// What the cache model (model_devices_test) doesn't express: an append that
// runs out of memory, and calls waiting on the locks.

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "support/library.h"

// Memory exhaustion where a test wants it: the next allocation, on this
// thread, of exactly t_fail_size bytes throws.
thread_local std::size_t t_fail_size = 0;

void* operator new(std::size_t size) {
  if (size != 0 && size == t_fail_size) {
    t_fail_size = 0;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // this operator new is malloc
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

namespace api = orv::devMgmt;

using CacheTest = LibraryTest;

// A binding whose append runs out of memory leaves the MAC index as it was:
// the index never names a device whose list lacks the MAC. What was there
// before stays, and the next try succeeds.
TEST_F(CacheTest, AnAppendThatRunsOutOfMemoryLeavesTheIndexAsItWas) {
  LogCapture quiet(-1);  // the log frame allocates nothing
  for (int size = 1; size <= 16; size *= 2) {
    const std::string id = "d" + std::to_string(size), mac = id + "-new";
    for (int i = 0; i < size; ++i) g_devices.new_mac_ip(id, id + "-" + std::to_string(i), "i");
    t_fail_size = 2 * size * sizeof(api::MacIp);  // the list is full: it doubles
    EXPECT_THROW(g_devices.new_mac_ip(id, mac, "i"), std::bad_alloc) << size;
    t_fail_size = 0;
    std::string owner, ip;
    Texts macs;
    EXPECT_EQ(api::get_device_id_by_mac(mac, owner), -1) << size;
    EXPECT_EQ(api::get_device_ip(id, mac, ip), -1) << size;
    EXPECT_EQ(api::get_device_macs(id, macs), size);
    g_devices.new_mac_ip(id, mac, "i");
    EXPECT_EQ(api::get_device_id_by_mac(mac, owner), 0);
    EXPECT_EQ(owner, id);
    EXPECT_EQ(api::get_device_macs(id, macs), 2 * size + 1);  // appended to what it held
  }
}

TEST_F(CacheTest, EveryCallWaitsWhileAnotherThreadHoldsTheCacheOrTheKeys) {
  api::Device device;
  std::vector<api::Device> all;
  Texts macs;
  std::string out;
  const std::function<void()> calls[] = {
      [&] { api::device_exists("d1"); },
      [&] { api::get_device("d1", device); },
      [&] { api::get_devices(all); },
      [&] { api::get_device_onvelk("d1"); },
      [&] { api::get_device_onguest("d1"); },
      [&] { api::get_device_macs("d1", macs); },
      [&] { api::get_device_id_by_mac("m1", out); },
      [&] { api::get_device_id_by_ip("i1", out); },
      [&] { api::get_device_ip("d1", "m1", out); },
      [] { json_decref(g_devices.get_device_traffic_status("d1")); },
      [] { api::set_on_dev_info_change({"x"}, OnInfo<1>); },
      [] { api::unset_on_dev_info_change({"macs"}, OnInfo<0>); },
      [] { g_devices.new_mac_ip("d2", "m2", "i2"); },
      [] { g_devices.remove_mac("m1", "d1"); },
      [] { g_devices.remove_macs("d3"); },
      [] { g_devices.remove_device_id("d4"); },
      [] { g_devices.update_display_name("d5", "x"); },
      [] { g_devices.load(); },
      [] { api::set_on_key_change("a", OnKey<0>); },
      [] { api::unset_on_key_change("b", OnKey<0>); },
      [] { g_monitored_keys.match_key("/a"); },
  };
  g_devices.new_mac_ip("d1", "m1", "i1");
  g_devices.new_mac_ip("d4", "m4", "i4");
  api::set_on_dev_info_change({"macs"}, OnInfo<0>);
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  {
    orv::devMgmt::MutexLock cache(g_devices.mutex);
    orv::devMgmt::MutexLock keys(g_monitored_keys.mutex);
    for (int i = 0; i < static_cast<int>(std::size(calls)); ++i) {
      threads.emplace_back([&, i] {
        calls[i]();
        done |= 1 << i;
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(done.load(), 0) << "bit i set: calls[i] did not wait";
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
