#include "support/log_capture.h"

#include <regex>
#include <utility>

LogCapture::LogCapture(int level) : saved_level_(orv::log::current_level) {
  saved_sink_ = orv::log::set_sink([this](orv::log::level lvl, std::string_view text) {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.push_back(LogLine{static_cast<int>(lvl), std::string(text)});
  });
  orv::log::current_level = level;
}

LogCapture::~LogCapture() {
  orv::log::current_level = saved_level_;
  orv::log::set_sink(std::move(saved_sink_));
}

std::vector<LogLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_;
}

std::vector<std::string> LogCapture::Messages() const {
  // "[orvdevmgmt:123][name()]: text" becomes "name: text".
  static const std::regex kFrame(R"(^\[[^\]]*\]\[(.*?)\(\)\]: )");
  std::vector<std::string> out;
  for (const LogLine& line : Lines()) {
    out.push_back(std::to_string(line.level) + " " + std::regex_replace(line.text, kFrame, "$1: "));
  }
  return out;
}

bool LogCapture::Contains(int level, const std::string& fragment) const {
  for (const LogLine& line : Lines()) {
    if (line.level == level && line.text.find(fragment) != std::string::npos) return true;
  }
  return false;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  lines_.clear();
}
