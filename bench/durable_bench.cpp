// Figure 14: what a durable setKey costs. A value the size of a display name is
// written with setKey (synced before its rename, its directory after),
// against the same replace done by hand (a file written beside the value and
// renamed over it) without syncs (14a, 14c) and with the same two syncs (14b).
// Timed on the wall clock: a sync's cost is mostly waiting for the disk.
// 14a and 14b use a directory on a disk, $ORV_BENCH_DISK_DIR (default
// /var/tmp); 14c the benchmarks' store directory (tmpfs, where a sync is
// nearly free: the library's own cost).

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_env.h"
#include "orv/settings.h"
#include "paired.h"
#include "table.h"

namespace orv_bench {
namespace {

constexpr int kNodes = 50;
const std::string kText = "Living room TV 4821 (2)";

// Root is a fresh directory under `dir`, its nodes made, removed at exit.
class Root {
 public:
  explicit Root(const std::string& dir) {
    std::string pattern = dir + "/orv-durable-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = pattern;
    for (const char* side : {"/store", "/bare", "/synced"}) {
      MakeDir(path_ + side);
      for (int i = 0; i < kNodes; ++i) MakeDir(path_ + side + "/d" + std::to_string(i));
    }
  }
  ~Root() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// BareReplace writes `text` beside `dir`/display_name and renames it over it,
// syncing the file before and the directory after when `sync`.
void BareReplace(const std::string& dir, const std::string& text, bool sync) {
  const std::string temp = dir + "/.new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      (sync && ::fsync(fd) != 0) || ::close(fd) != 0 ||
      ::rename(temp.c_str(), (dir + "/display_name").c_str()) != 0) {
    throw std::runtime_error("cannot replace " + dir + "/display_name");
  }
  if (!sync) return;
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0 || ::fsync(dir_fd) != 0 || ::close(dir_fd) != 0) {
    throw std::runtime_error("cannot sync " + dir);
  }
}

// Wall times `write` in nanoseconds.
template <class Write>
double Timed(Write write) {
  const std::int64_t start = NowNs();
  write();
  return static_cast<double>(NowNs() - start);
}

// DurableSet takes turns (the order rotating) between setKey and the two bare
// replaces, one write each per round, on the nodes in turn.
void DurableSet(benchmark::State& state, const std::string& dir) {
  const Root root(dir);
  const std::string previous = orv::setMgmt::root();
  orv::setMgmt::set_root(root.path() + "/store");
  std::vector<double> library, bare, synced;
  int round = 0;
  for (auto _ : state) {
    const std::string node = "/d" + std::to_string(round % kNodes);
    double times[3];
    for (int turn = 0; turn < 3; ++turn) {
      const int which = (round + turn) % 3;
      if (which == 0) {
        times[0] = Timed([&] {
          if (orv::setMgmt::setKey(node + "/display_name", kText) != 0) {
            throw std::runtime_error("setKey failed");
          }
        });
      } else {
        times[which] = Timed([&] {
          BareReplace(root.path() + (which == 1 ? "/bare" : "/synced") + node, kText, which == 2);
        });
      }
    }
    library.push_back(times[0]);
    bare.push_back(times[1]);
    synced.push_back(times[2]);
    ++round;
  }
  state.counters["measured"] = Percentile(library, 0.5);
  state.counters["baseline"] = Percentile(bare, 0.5);
  state.counters["synced"] = Percentile(synced, 0.5);
  orv::setMgmt::set_root(previous);  // as the other figures left it
}

std::string DiskDir() {
  const char* dir = std::getenv("ORV_BENCH_DISK_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/var/tmp";
}

std::string StoreDir() {
  for (const char* name : {"ORV_BENCH_DIR", "TMPDIR"}) {
    const char* dir = std::getenv(name);
    if (dir != nullptr && *dir != '\0') return dir;
  }
  return "/tmp";
}

BENCHMARK_CAPTURE(DurableSet, disk, DiskDir())
    ->Name("14/durable_set/disk")
    ->Iterations(200)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DurableSet, store_dir, StoreDir())
    ->Name("14/durable_set/store_dir")
    ->Iterations(2000)
    ->Unit(benchmark::kMillisecond);

const bool kRegistered =
    RegisterFigure({"14a durable set, disk", "14/durable_set/disk", "measured", "baseline", "",
                    "ns", Goal::kReport, 0}) &&
    RegisterFigure({"14b durable set, disk, vs synced by hand", "14/durable_set/disk", "measured",
                    "synced", "", "ns", Goal::kReport, 0}) &&
    RegisterFigure({"14c durable set, store dir", "14/durable_set/store_dir", "measured",
                    "baseline", "", "ns", Goal::kReport, 0});

}  // namespace
}  // namespace orv_bench
