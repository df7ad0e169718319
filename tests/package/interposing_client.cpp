// interposing_client: a client of the shared device library that defines its
// own global class Devices, with the names of the library's cache methods.
// The library must keep calling its own: init() loads the store's device and
// the queries find it, while the client's functions are never called.
//
//   interposing_client STORE_DIR   (an empty directory; exits 0 when unaffected)

#include <orv/devmgmt.h>
#include <orv/settings.h>

#include <cstdio>
#include <string>

namespace {
int g_client_calls = 0;
}  // namespace

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

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  orv::setMgmt::set_root(argv[1]);
  if (orv::setMgmt::setKey("/devices/tv/macs/aa:bb:cc:dd:ee:ff", "10.0.0.7") < 0) return 2;
  if (orv::devMgmt::init() != 0) {
    std::fprintf(stderr, "init failed: %s\n", orverrno.message().c_str());
    return 1;
  }
  std::string owner;
  const bool exists = orv::devMgmt::device_exists("tv");
  const int found = orv::devMgmt::get_device_id_by_mac("aa:bb:cc:dd:ee:ff", owner);
  orv::devMgmt::uninit();
  if (!exists || found != 0 || owner != "tv" || g_client_calls != 0) {
    std::fprintf(stderr, "the client's Devices took over: exists=%d found=%d owner=%s calls=%d\n",
                 exists, found, owner.c_str(), g_client_calls);
    return 1;
  }
  return 0;
}
