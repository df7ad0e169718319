#include "support/log_capture.h"

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
  std::vector<std::string> out;
  for (const LogLine& line : Lines()) {
    // "[orvdevmgmt:123][name()]: text" becomes "name: text".
    std::string text = line.text;
    const std::string::size_type open = text.find("][");
    const std::string::size_type close = text.find("()]: ");
    if (text.rfind("[", 0) == 0 && open != std::string::npos && close != std::string::npos &&
        open < close) {
      text = text.substr(open + 2, close - open - 2) + ": " + text.substr(close + 5);
    }
    out.push_back(std::to_string(line.level) + " " + text);
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
