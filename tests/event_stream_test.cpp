// Event streams: a reader folds what it reads into its own copy of the
// cache; whatever the writers, the timing and the reader's speed, that copy
// ends equal to the cache, with no device lost or doubled on the way.

#include <poll.h>

#include <atomic>
#include <random>
#include <set>

#include "orv/devmgmt_stream.h"
#include "support/library.h"

namespace {

namespace api = orv::devMgmt;
using api::EventKind;
using api::StreamEvent;
using State = std::map<std::string, std::string>;

// CacheState is what a reader in step holds: id -> the record, described.
State CacheState() {
  State state;
  orv::devMgmt::MutexLock hold(g_devices.mutex);
  for (const auto& entry : g_devices.devices) state[entry.first] = Describe(entry.second, true);
  return state;
}

// Reader folds a stream's events into `state` and notes every event that a
// gap-free stream can't give: a sequence gap, a device announced twice, a
// change of a device it never announced. Coalesced, a device removed and
// back since the last read is announced again, one announced and removed
// since comes as a removal alone, and an update always carries its record.
struct Reader {
  api::EventStream stream;
  State state;
  std::uint64_t sequence = 0;
  bool listing = true;  // until kSynced: a snapshot may restate what is known
  bool coalesced = false;
  int synced = 0;
  std::size_t events = 0;
  Texts faults;

  int Open(api::StreamOptions options) {
    coalesced = options.coalesce;
    return stream.open(options);
  }
  void Apply(const StreamEvent& e) {
    ++events;
    if (e.sequence != ++sequence) faults.push_back("gap before " + std::to_string(e.sequence));
    const bool known = state.count(e.device_id) != 0;
    switch (e.kind) {
      case EventKind::kNewDev:
      case EventKind::kUpdated:
        if (!listing && known && e.kind == EventKind::kNewDev && !coalesced) {
          faults.push_back("doubled " + e.device_id);
        }
        if (!listing && !known && e.kind == EventKind::kUpdated)
          faults.push_back("lost " + e.device_id);
        if (coalesced && e.kind == EventKind::kUpdated && !e.device) {
          faults.push_back("no record " + e.device_id);
        }
        if (e.device) state[e.device_id] = Describe(*e.device, true);
        if (!e.device) state.erase(e.device_id);
        break;
      case EventKind::kRemoved:
        if (!listing && !known && !coalesced) faults.push_back("lost " + e.device_id);
        state.erase(e.device_id);
        break;
      case EventKind::kReloaded:
        for (const std::string& id : e.vanished) state.erase(id);
        listing = true;
        break;
      case EventKind::kResync:
      case EventKind::kStopped:
        state.clear();
        listing = true;
        break;
      case EventKind::kSynced:
        listing = false;
        ++synced;
        break;
      default:
        break;
    }
  }
  // Drain reads until nothing waits and returns what it read.
  std::vector<StreamEvent> Drain() {
    std::vector<StreamEvent> all, batch;
    while (stream.read(batch, 100) > 0) {
      for (const StreamEvent& e : batch) Apply(e);
      all.insert(all.end(), batch.begin(), batch.end());
      batch.clear();
    }
    return all;
  }
};

// Mutate makes one random change of the cache, as the dispatcher would:
// every change raises at least one event.
void Mutate(std::mt19937& random, int devices) {
  const std::string id = "d" + std::to_string(random() % devices);
  const std::string value = std::to_string(random());
  switch (random() % 6) {
    case 0:
      g_devices.new_mac_ip(id, "m" + std::to_string(random() % 3) + id, value);
      break;
    case 1:
      if (api::device_exists(id)) g_devices.remove_mac("m0" + id, id);
      break;
    case 2:
      if (api::device_exists(id)) g_devices.remove_device_id(id);
      break;
    case 3:
      g_devices.update_scan_level(id, static_cast<int>(random() % 100));
      break;
    default:
      g_devices.update_display_name(id, value);
  }
}

// Kinds reads what waits on `stream` and names the kinds of its events.
std::string Kinds(api::EventStream& stream) {
  std::vector<StreamEvent> events;
  std::string kinds;
  if (stream.read(events, 100) < 0) return "closed";
  for (const StreamEvent& e : events) kinds += std::string(api::event_kind_name(e.kind)) + " ";
  return kinds;
}

class EventStreamTest : public LibraryTest {
 protected:
  EventStreamTest() : LibraryTest(0) {}  // level 0 only: the changes go by the 100,000
  // A device-info callback that opens, reads and closes a stream of its own,
  // with the cache locked, on the thread changing it.
  static void OnNewDevStream(orv::DevInfoChangeType, const std::string&, const std::string&) {
    api::EventStream own;
    std::vector<StreamEvent> events;
    if (own.open(api::StreamOptions()) == 0 && own.read(events, 5) >= 0) own.close();
  }
};

TEST_F(EventStreamTest, AHandlerTakingTheServiceLockRunsWhileTheServiceListsUnderIt) {
  for (int i = 0; i < 6; ++i) store_.Set("/devices/d" + std::to_string(i) + "/display_name", "a");
  Start();
  std::mutex service;
  State names;  // guarded by service
  api::EventStream stream;
  api::StreamOptions options;
  options.fields = {"display_name"};
  ASSERT_EQ(stream.open(options), 0);
  std::atomic<bool> done{false};
  std::thread handler([&] {
    std::vector<StreamEvent> events;
    while (!done && stream.wait(events, 16, 50) >= 0) {
      for (const StreamEvent& e : events) {
        std::lock_guard<std::mutex> hold(service);
        api::Device device;
        if (api::get_device(e.device_id, device)) names[e.device_id] = device.display_name;
      }
      events.clear();
    }
  });
  for (int round = 0; round < 150; ++round) {
    store_.Set("/devices/d" + std::to_string(round % 6) + "/display_name", std::to_string(round));
    std::lock_guard<std::mutex> hold(service);
    std::vector<api::Device> all;
    api::get_devices(all);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  State want;
  for (int i = 0; i < 6; ++i) want["d" + std::to_string(i)] = std::to_string(144 + i);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> hold(service);
      if (names == want) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  done = true;
  handler.join();
  EXPECT_EQ(names, want);
}

// Three streams are there before the writer starts: one read throughout, one
// read only at the end (its queue overflows: a resync counting what it
// missed, then the snapshot) and one coalescing, read at the end (each device
// once). The others open at random moments and are read at random.
TEST_F(EventStreamTest, StreamsOpenedAtRandomMomentsMissNothingAndDoubleNothing) {
  store_.Set("/devices/s0/macs/m", "0");
  Start();
  std::mt19937 random(testing::UnitTest::GetInstance()->random_seed());
  std::vector<std::unique_ptr<Reader>> readers;
  for (std::size_t max_queued : {std::size_t(1) << 30, std::size_t(500), std::size_t(500)}) {
    readers.push_back(std::make_unique<Reader>());
    api::StreamOptions options;
    options.max_queued = max_queued;
    options.coalesce = readers.size() == 3;
    ASSERT_EQ(readers.back()->Open(options), 0);
  }
  Reader &fast = *readers[0], &slow = *readers[1], &latest = *readers[2];
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::mt19937 changes(7);
    for (int i = 0; !done || i < 20000; ++i) {  // the slow stream's queue overflows
      Mutate(changes, 30);
      if (i % 64 == 0)
        store_.Set("/devices/s" + std::to_string(i % 5) + "/macs/m", std::to_string(i));
    }
  });
  for (int i = 3; i < 27; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    readers.push_back(std::make_unique<Reader>());
    api::StreamOptions options;
    options.coalesce = i % 4 == 3;
    options.max_queued = 64 + random() % 2000;
    ASSERT_EQ(readers.back()->Open(options), 0);
    fast.Drain();
    for (std::size_t r = 3; r < readers.size(); ++r) {
      if (random() % 2 == 0) readers[r]->Drain();
    }
  }
  done = true;
  writer.join();
  g_devices.load();  // for the slow stream, behind, the reload and its snapshot are dropped too
  api::EventStream marker;
  api::StreamOptions options;
  options.devices = false;
  options.key_regexes = {"/zz/marker$"};
  ASSERT_EQ(marker.open(options), 0);
  store_.Set("/devices/zz/marker", "1");  // once it is read, the thread has passed every change
  std::vector<StreamEvent> events;
  ASSERT_EQ(marker.wait(events, 1, 8000), 1);
  fast.Drain();
  const std::vector<StreamEvent> slow_events = slow.Drain();
  std::set<std::string> seen;
  for (const StreamEvent& e : latest.Drain()) {
    if (e.kind != EventKind::kSynced) {
      EXPECT_TRUE(seen.insert(e.device_id).second) << e.device_id;
    }
  }
  for (std::size_t i = 3; i < readers.size(); ++i) readers[i]->Drain();
  const State cache = CacheState();
  for (std::size_t i = 0; i < readers.size(); ++i) {
    EXPECT_EQ(readers[i]->state, cache) << i;
    EXPECT_GE(readers[i]->synced, 1);
    EXPECT_EQ(readers[i]->faults, Texts()) << i;
  }
  ASSERT_EQ(slow_events.size(), cache.size() + 2);  // the queue went: resync, snapshot, synced
  EXPECT_EQ(slow_events.front().kind, EventKind::kResync);
  EXPECT_EQ(slow_events.front().dropped, fast.events);  // every event it missed, counted
  EXPECT_EQ(slow_events.back().kind, EventKind::kSynced);
}

TEST_F(EventStreamTest, EachStreamHasItsOwnTrafficReportsAndReadinessFollowsTheQueue) {
  store_.Set("/devices/d1/macs/m1", "10.0.0.1");
  store_.Set("/devices/d1/macs/m2", "");
  api::EventStream plain, latest;  // opened before the library starts
  api::StreamOptions options;
  options.max_queued = 4;  // its bound counts the latest listing too: 4 + 1 events
  ASSERT_EQ(plain.open(options), 0);
  options.coalesce = true;
  ASSERT_EQ(latest.open(options), 0);
  Start();
  // init's load lists the cache; the thread's, a reload, says so first.
  EXPECT_EQ(Kinds(plain), "new_dev synced reloaded new_dev synced ");
  api::set_on_traffic_blocked_change(OnReport);
  options.coalesce = false;
  options.devices = false;
  options.traffic_blocked = true;
  options.key_regexes = {"(traffic_)?blocked$"};  // an extended expression
  api::EventStream one, two, tight;
  ASSERT_EQ(one.open(options), 0);
  ASSERT_EQ(two.open(options), 0);
  options.max_queued = 1;  // the change's two events overflow it
  ASSERT_EQ(tight.open(options), 0);
  pollfd ready = {one.fd(), POLLIN, 0};
  EXPECT_EQ(poll(&ready, 1, 0), 0);
  store_.Set("/devices/d1/traffic_blocked", "2");  // a change reads it as 2, and says so
  ASSERT_TRUE(Calls::WaitFor(
      R"(report {"device_id":"d1","blocked":2,"macs":["m1","m2"],"ips":["10.0.0.1",""]})"));
  const Texts reports = Calls::Take();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(poll(&ready, 1, 0), 1);
  std::vector<StreamEvent> events;
  // Asked for no event, wait reads none and doesn't wait.
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(one.wait(events, 0, 8000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(4));
  for (api::EventStream* stream : {&one, &two}) {
    ASSERT_EQ(stream->wait(events, 10, 8000), 2);
    EXPECT_EQ(std::string(api::event_kind_name(events[0].kind)) + " " + events[0].name,
              "key /devices/d1/traffic_blocked");
    EXPECT_EQ(api::event_kind_name(events[1].kind), std::string("traffic_blocked"));
    EXPECT_EQ("report " + events[1].traffic_status, reports[0]);
    EXPECT_EQ(events[1].device->blocked, 2);
    events.clear();
  }
  // Both events dropped, and no snapshot after them: the stream has no device events.
  ASSERT_EQ(tight.read(events, 10), 1);
  EXPECT_EQ(api::event_kind_name(events[0].kind) + std::to_string(events[0].dropped), "resync2");
  events.clear();
  EXPECT_EQ(poll(&ready, 1, 0), 0);  // read empty: no longer readable
  one.close();
  EXPECT_EQ(Result(one.read(events, 1)), "-1 9 stream closed");
  options.key_regexes = {"("};
  EXPECT_EQ(Result(one.open(options)), "-1 4 invalid key_regex");
  api::uninit();  // a coalescing reader hears only that the library stopped
  EXPECT_EQ(Kinds(latest), "stopped ");
  ASSERT_EQ(one.open(api::StreamOptions()), 0);  // a stopped library lists nothing
  EXPECT_EQ(Kinds(one), "");
}

TEST_F(EventStreamTest, StreamsComeAndGoOnEveryThreadWhileTheLibraryRestarts) {
  store_.Set("/devices/d1/display_name", "x");
  api::set_on_dev_info_change({"display_name"}, OnNewDevStream);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; !done; ++i) {
      store_.Set("/devices/d" + std::to_string(i % 7) + "/display_name", std::to_string(i));
    }
  });
  std::vector<std::thread> users;
  for (int t = 0; t < 3; ++t) {
    users.emplace_back([&, t] {
      std::mt19937 random(t);
      while (!done) {
        Reader reader;
        api::StreamOptions options;
        options.coalesce = random() % 2 == 0;
        options.snapshot = random() % 3 != 0;
        options.traffic_blocked = true;
        options.max_queued = 1 + random() % 50;
        ASSERT_EQ(reader.Open(options), 0);
        std::thread closer([&reader, &random] {
          std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
          reader.stream.close();  // while the reader may be waiting on it
        });
        std::vector<StreamEvent> events;
        int got = 0;
        while ((got = reader.stream.wait(events, 8, 5000)) > 0) {
          for (const StreamEvent& e : events) reader.Apply(e);
          events.clear();
        }
        closer.join();
        EXPECT_EQ(got, -1);
        EXPECT_EQ(reader.stream.fd(), -1);
        EXPECT_TRUE(std::none_of(reader.faults.begin(), reader.faults.end(),
                                 [](const std::string& f) { return f.rfind("gap", 0) == 0; }));
      }
    });
  }
  for (int round = 0; round < 15; ++round) {
    ASSERT_EQ(api::init(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    api::uninit();
  }
  done = true;
  writer.join();
  for (std::thread& user : users) user.join();
}

}  // namespace
