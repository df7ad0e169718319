#include "event_stream_registry.h"

#include <errno.h>
#include <jansson.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <utility>

#include "log_frame.h"
#include "orv/error.h"
#include "traffic_status.h"

namespace orv {
namespace devmgmt_internal {
namespace {

using orv::devMgmt::Device;
using orv::devMgmt::EventKind;
using orv::devMgmt::StreamEvent;

constexpr int kInvalidKeyRegex = 4;

// CachedIds returns the ids in `cache`, sorted bytewise.
// Its caller holds cache.mutex.
std::vector<std::string> CachedIds(const Devices& cache)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
    __attribute__((requires_capability(cache.mutex)))
#endif
{
  std::vector<std::string> ids;
  ids.reserve(cache.devices.size());
  for (const auto& entry : cache.devices) ids.push_back(entry.first);
  std::sort(ids.begin(), ids.end());
  return ids;
}

// TrafficStatusText returns the traffic-blocked document of `device_id` as
// compact JSON, members in the document's order; "" when the design's
// report would give none (no such device, no binding).
// Its caller holds g_devices.mutex.
std::string TrafficStatusText(const std::string& device_id, Record& record)
    __attribute__((requires_capability((g_devices.mutex))));
std::string TrafficStatusText(const std::string& device_id, Record& record) {
  auto found = g_devices.devices.find(device_id);
  if (found == g_devices.devices.end()) return std::string();
  json_t* status = build_device_traffic_status(device_id, found->second);
  if (status == nullptr) return std::string();
  char* text = json_dumps(status, JSON_COMPACT | JSON_PRESERVE_ORDER);
  json_decref(status);
  if (text == nullptr) return std::string();
  std::string out(text);
  std::free(text);
  record = std::make_shared<const Device>(found->second);
  return out;
}

// TrafficDeviceId is the report's device id: the piece after "/devices".
std::string TrafficDeviceId(const std::string& key) {
  std::string::size_type start = std::min<std::string::size_type>(key.size(), 8);
  if (start < key.size() && key[start] == '/') ++start;
  return key.substr(start, key.find('/', start) - start);
}

}  // namespace

StreamRegistry& Streams() {
  static StreamRegistry& registry = *new StreamRegistry();  // never destroyed, see the header
  return registry;
}

StreamLoadScope::~StreamLoadScope() {
  try {
    Streams().OnLoadEnds(cache_);
  } catch (const std::exception& error) {
    ORV_LOG(orv::log::kError, "BUG: the streams missed a load: %s", error.what());
  }
}

StreamRegistry::StreamRegistry() : traffic_regex_(kTrafficBlockedKeyRegex) {}

bool StreamRegistry::IsTheCache(const Devices& cache) { return &cache == &g_devices; }

int StreamRegistry::Open(const orv::devMgmt::StreamOptions& options,
                         std::shared_ptr<StreamQueue>& stream) {
  for (const std::string& text : options.key_regexes) {
    if (!Regex(text).valid()) {
      orverrno.set(kInvalidKeyRegex, "invalid key_regex");
      return -1;
    }
  }
  auto made = std::make_shared<StreamQueue>(options);
  if (!made->valid()) {
    const int error = errno;
    orverrno.set(error, "no descriptor for the stream");
    return -1;
  }
  // Registered and given its snapshot in one hold of the cache's lock: no
  // change falls between the two.
  orv::devMgmt::MutexLock cache(g_devices.mutex);
  if (made->WantsSnapshot() && loaded_ && load_depth_ == 0) made->PushSnapshot(Records());
  orv::devMgmt::MutexLock hold(mutex_);
  streams_.push_back(made);
  open_.fetch_add(1);
  if (made->WantsTraffic()) traffic_.fetch_add(1);
  stream = std::move(made);
  return 0;
}

void StreamRegistry::Close(StreamQueue& stream) {
  orv::devMgmt::MutexLock hold(mutex_);
  auto found = std::find_if(streams_.begin(), streams_.end(),
                            [&stream](const auto& open) { return open.get() == &stream; });
  if (found == streams_.end()) return;  // closed already
  streams_.erase(found);
  open_.fetch_sub(1);
  if (stream.WantsTraffic()) traffic_.fetch_sub(1);
  stream.Close();
}

void StreamRegistry::Resync(StreamQueue& stream) {
  orv::devMgmt::MutexLock cache(g_devices.mutex);
  // A snapshot during a load (a callback reading its stream) would be half
  // made: it waits for the load's own. A stream without device events has
  // none.
  const bool snapshot = stream.WantsSnapshot() && loaded_ && load_depth_ == 0;
  stream.Resync(snapshot ? Records() : std::vector<Record>(), snapshot);
}

std::vector<Record> StreamRegistry::Records() {
  std::vector<Record> records;
  records.reserve(g_devices.devices.size());
  for (const auto& entry : g_devices.devices) {
    records.push_back(std::make_shared<const Device>(entry.second));
  }
  std::sort(records.begin(), records.end(),
            [](const Record& a, const Record& b) { return a->device_id < b->device_id; });
  return records;
}

template <class Wants>
void StreamRegistry::DeviceEvent(const Devices& cache, EventKind kind, const std::string& device_id,
                                 const std::string& field, Wants wants) {
  if (open_.load() == 0 || !IsTheCache(cache) || load_depth_ > 0) return;
  orv::devMgmt::MutexLock hold(mutex_);
  Record record;  // one copy, shared by every stream that gets the event
  bool copied = false;
  for (const auto& stream : streams_) {
    if (!wants(*stream)) continue;
    if (!copied && kind != EventKind::kRemoved) {
      auto found = cache.devices.find(device_id);
      if (found != cache.devices.end()) record = std::make_shared<const Device>(found->second);
      copied = true;
    }
    StreamEvent event;
    event.kind = kind;
    event.device_id = device_id;
    event.name = field;
    event.device = record;
    stream->Push(std::move(event));
  }
}

void StreamRegistry::OnNewDev(const Devices& cache, const std::string& device_id) {
  DeviceEvent(cache, EventKind::kNewDev, device_id, std::string(),
              [](const StreamQueue& stream) { return stream.WantsDevices(); });
}

void StreamRegistry::OnUpdated(const Devices& cache, const std::string& device_id,
                               const std::string& field) {
  DeviceEvent(cache, EventKind::kUpdated, device_id, field,
              [&field](const StreamQueue& stream) { return stream.WantsField(field); });
}

void StreamRegistry::OnRemoved(const Devices& cache, const std::string& device_id) {
  DeviceEvent(cache, EventKind::kRemoved, device_id, std::string(),
              [](const StreamQueue& stream) { return stream.WantsDevices(); });
}

void StreamRegistry::OnClearing(const Devices& cache) {
  if (!IsTheCache(cache) || load_depth_ > 0) return;  // a load keeps its own account
  std::vector<std::string> ids = CachedIds(cache);
  std::vector<std::string> all;
  std::set_union(cleared_ids_.begin(), cleared_ids_.end(), ids.begin(), ids.end(),
                 std::back_inserter(all));
  cleared_ids_.swap(all);
}

void StreamRegistry::OnKeyChanged(const std::string& key) {
  if (open_.load() == 0) return;
  std::string traffic_status;
  std::string traffic_id;
  Record record;
  if (traffic_.load() > 0 && traffic_regex_.Matches(key)) {
    traffic_id = TrafficDeviceId(key);
    orv::devMgmt::MutexLock cache(g_devices.mutex);
    traffic_status = TrafficStatusText(traffic_id, record);
  }
  orv::devMgmt::MutexLock hold(mutex_);
  for (const auto& stream : streams_) {
    if (stream->WantsKey(key)) {
      StreamEvent event;
      event.kind = EventKind::kKeyChanged;
      event.name = key;
      stream->Push(std::move(event));
    }
    if (!traffic_status.empty() && stream->WantsTraffic()) {
      StreamEvent event;
      event.kind = EventKind::kTrafficBlocked;
      event.device_id = traffic_id;
      event.device = record;
      event.traffic_status = traffic_status;
      stream->Push(std::move(event));
    }
  }
}

void StreamRegistry::OnStopped() {
  orv::devMgmt::MutexLock cache(g_devices.mutex);
  loaded_ = false;
  cleared_ids_.clear();  // the next load starts afresh: nothing vanishes
  orv::devMgmt::MutexLock hold(mutex_);
  for (const auto& stream : streams_) stream->Stop();
}

void StreamRegistry::OnLoadBegins(const Devices& cache) {
  if (!IsTheCache(cache) || load_depth_++ > 0) return;
  was_loaded_ = loaded_;
  std::vector<std::string> ids = CachedIds(cache);
  before_ids_.clear();
  std::set_union(cleared_ids_.begin(), cleared_ids_.end(), ids.begin(), ids.end(),
                 std::back_inserter(before_ids_));
  cleared_ids_.clear();
}

void StreamRegistry::OnLoadEnds(const Devices& cache) {
  if (!IsTheCache(cache) || --load_depth_ > 0) return;
  loaded_ = true;
  if (open_.load() == 0) return;
  const std::vector<std::string> after = CachedIds(cache);
  std::vector<std::string> vanished;
  std::set_difference(before_ids_.begin(), before_ids_.end(), after.begin(), after.end(),
                      std::back_inserter(vanished));
  const std::vector<Record> records = Records();
  orv::devMgmt::MutexLock hold(mutex_);
  for (const auto& stream : streams_) {
    if (was_loaded_ && stream->WantsReloads()) {
      StreamEvent event;
      event.kind = EventKind::kReloaded;
      event.vanished = vanished;
      stream->Push(std::move(event));
    }
    if (stream->WantsSnapshot()) stream->PushSnapshot(records);
  }
}

}  // namespace devmgmt_internal
}  // namespace orv
