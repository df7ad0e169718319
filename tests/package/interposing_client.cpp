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

namespace {

int g_client_calls = 0;

// A private directory, removed with all in it.
struct TempDir {
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "orv-interpose.XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

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

int main() {
  const TempDir store;
  if (store.path.empty()) return 2;
  orv::setMgmt::set_root(store.path);
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
