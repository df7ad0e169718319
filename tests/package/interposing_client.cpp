// interposing_client: a client of the shared device library that defines its
// own global class Devices, with the names of the library's cache methods.
// The library must keep calling its own: init() loads the store's device and
// the queries find it, while the client's functions are never called.
//
// Exits 0 when the library is unaffected; works in a temporary store.

#include <orv/devmgmt.h>
#include <orv/settings.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

static int g_client_calls = 0;  // calls of the client's own functions

// Not the library's class: the same mangled names, the client's behaviour.
class Devices {
 public:
  void load();
  bool device_exists(const std::string& device_id);
};

void Devices::load() { ++g_client_calls; }
bool Devices::device_exists(const std::string&) {
  ++g_client_calls;
  return false;
}

int main() {
  std::string store = (std::filesystem::temp_directory_path() / "orv-interpose.XXXXXX").string();
  if (mkdtemp(store.data()) == nullptr) return 2;
  orv::setMgmt::set_root(store);
  std::string owner;
  bool exists = false;
  int found = -1;
  if (orv::setMgmt::setKey("/devices/tv/macs/aa:bb:cc:dd:ee:ff", "10.0.0.7") < 0) return 2;
  const int init = orv::devMgmt::init();
  if (init == 0) {
    exists = orv::devMgmt::device_exists("tv");
    found = orv::devMgmt::get_device_id_by_mac("aa:bb:cc:dd:ee:ff", owner);
    orv::devMgmt::uninit();
  }
  std::error_code ignored;
  std::filesystem::remove_all(store, ignored);
  if (exists && found == 0 && owner == "tv" && g_client_calls == 0) return 0;
  std::fprintf(stderr, "Devices taken over: init=%d exists=%d found=%d owner=%s calls=%d\n", init,
               exists, found, owner.c_str(), g_client_calls);
  return 1;
}
