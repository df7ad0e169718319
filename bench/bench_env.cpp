// The settings stores the benchmarks read and write, and the log set-up.

#include "bench_env.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "orv/log.h"
#include "orv/settings.h"

namespace orv_bench {
namespace {

// SplitMix64: a fixed pseudo-random sequence, so that every run writes the
// same devices.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::string Uuid(std::uint64_t seed) {
  const std::uint64_t a = Mix(seed), b = Mix(seed + 1);
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-4%03x-a%03x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>(a >> 16) & 0xffff, static_cast<unsigned>(a) & 0xfff,
                static_cast<unsigned>(b >> 52) & 0xfff,
                static_cast<unsigned long long>(b) & 0xffffffffffffULL);
  return text;
}

template <std::size_t N>
const char* Pick(const std::array<const char*, N>& choices, std::uint64_t seed) {
  return choices[Mix(seed) % N];
}

constexpr std::array<const char*, 6> kNames = {"Living room TV", "Kitchen speaker", "Anna's iPhone",
                                               "Office laptop",  "Front door cam",  "Kids tablet"};
constexpr std::array<const char*, 6> kTypes = {"smart_tv", "speaker",   "smartphone",
                                               "laptop",   "ip_camera", "tablet"};
constexpr std::array<const char*, 5> kOses = {"Android", "iOS", "Windows", "Linux", "tvOS"};
constexpr std::array<const char*, 5> kOsVersions = {"14", "17.2.1", "11 23H2", "6.1.0", "13.4"};
constexpr std::array<const char*, 5> kModels = {"Galaxy S23 Ultra", "iPhone 15 Pro",
                                                "ThinkPad X1 Carbon Gen 11",
                                                "Apple TV 4K (3rd generation)", "Nest Cam IQ"};
constexpr std::array<const char*, 5> kMakers = {"Samsung Electronics", "Apple, Inc.", "Lenovo",
                                                "Google LLC", "Sony Interactive Entertainment"};

std::string BenchDir() {
  for (const char* name : {"ORV_BENCH_DIR", "TMPDIR"}) {
    const char* dir = getenv(name);
    if (dir != nullptr && *dir != '\0') return dir;
  }
  return "/tmp";
}

}  // namespace

void WriteFile(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("cannot write " + path);
  }
  ::close(fd);
}

void MakeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot create " + path);
  }
}

DeviceText MakeDevice(int index) {
  const std::uint64_t seed = static_cast<std::uint64_t>(index) * 1000;
  DeviceText device;
  device.id = Uuid(seed);
  for (int j = 0; j < 3; ++j) {
    const unsigned k = static_cast<unsigned>(index) * 3 + static_cast<unsigned>(j) + 1;
    const unsigned vendor = static_cast<unsigned>(Mix(seed + 10 + j)) & 0xfcff;
    char mac[24], ip[20];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", vendor >> 8, vendor & 0xff,
                  0x10 | (k >> 24), (k >> 16) & 0xff, (k >> 8) & 0xff, k & 0xff);
    std::snprintf(ip, sizeof ip, "10.%u.%u.%u", (k >> 16) & 0xff, (k >> 8) & 0xff, k & 0xff);
    device.macs.push_back(mac);
    device.ips.push_back(ip);
  }
  char velk[32];
  std::snprintf(velk, sizeof velk, "%016llx%08x", static_cast<unsigned long long>(Mix(seed + 20)),
                static_cast<unsigned>(Mix(seed + 21)));
  device.fields = {
      {"profile_id", Uuid(seed + 30)},
      {"display_name",
       std::string(Pick(kNames, seed + 40)) + " " + std::to_string(index % 9000 + 1000)},
      {"device_type", Pick(kTypes, seed + 41)},
      {"device_os", Pick(kOses, seed + 42)},
      {"device_os_version", Pick(kOsVersions, seed + 43)},
      {"device_model", Pick(kModels, seed + 44)},
      {"device_manufacturer", Pick(kMakers, seed + 45)},
      {"velk_device_id", velk},
      {"traffic_blocked", index % 7 == 0 ? "1" : "0"},
      {"onvelk", index % 2 == 0 ? "1" : "0"},
      {"onguest", index % 5 == 0 ? "1" : "0"},
      {"scan_level", index % 3 == 0 ? "3" : "2"},
  };
  return device;
}

std::size_t StringBytes(const DeviceText& device) {
  std::size_t bytes = device.id.size();
  for (int j = 0; j < 3; ++j) bytes += device.macs[j].size() + device.ips[j].size();
  for (const auto& field : device.fields) {
    // The four integers are held as ints, not texts.
    if (field.first == "traffic_blocked" || field.first == "onvelk" || field.first == "onguest" ||
        field.first == "scan_level") {
      continue;
    }
    bytes += field.second.size();
  }
  return bytes;
}

Store::Store(int count) {
  const std::int64_t began = NowNs();
  std::string pattern = BenchDir() + "/orv-bench-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
  root_ = pattern;
  MakeDir(root_ + "/devices");
  MakeDir(root_ + "/bare_devices");
  devices_.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    DeviceText device = MakeDevice(i);
    const std::string dir = root_ + "/devices/" + device.id;
    MakeDir(dir);
    MakeDir(dir + "/macs");
    for (const auto& field : device.fields) WriteFile(dir + "/" + field.first, field.second);
    for (int j = 0; j < 3; ++j) WriteFile(dir + "/macs/" + device.macs[j], device.ips[j]);
    devices_.push_back(std::move(device));
  }
  std::fprintf(stderr, "orv_bench: %d devices written to %s in %.1f s\n", count, root_.c_str(),
               static_cast<double>(NowNs() - began) / 1e9);
}

Store::~Store() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

Store& Store::Small() {
  static Store store(1000);
  return store;
}

Store& Store::Large() {
  static Store store(10000);
  return store;
}

void Store::Use() const { orv::setMgmt::set_root(root_); }

const std::vector<std::string>& ShuffledMacs() {
  static const std::vector<std::string> macs = [] {
    std::vector<std::string> all;
    for (const DeviceText& device : Store::Large().devices()) {
      all.insert(all.end(), device.macs.begin(), device.macs.end());
    }
    std::shuffle(all.begin(), all.end(), std::mt19937(42));
    return all;
  }();
  return macs;
}

const std::vector<std::string>& ShuffledIds() {
  static const std::vector<std::string> ids = [] {
    std::vector<std::string> all;
    for (const DeviceText& device : Store::Large().devices()) all.push_back(device.id);
    std::shuffle(all.begin(), all.end(), std::mt19937(43));
    return all;
  }();
  return ids;
}

std::size_t HeapInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

std::size_t ResidentBytes() {
  std::size_t pages = 0, resident = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "re");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%zu %zu", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

void QuietLogs() {
  orv::log::current_level = orv::log::kNotice;
  orv::log::set_sink([](orv::log::level, std::string_view) {});
}

}  // namespace orv_bench
