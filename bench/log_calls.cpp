#include "log_calls.h"

#include "log_frame.h"

namespace orv_bench {

void LogLine(const std::string& mac, const std::string& device_id) {
  ORV_LOG(orv::log::kInfo, "mac=%s, device_id=%s", mac, device_id);
}

void EmptyCall(const std::string& /*mac*/, const std::string& /*device_id*/) {}

}  // namespace orv_bench
