#include "orv/log.h"

#include <errno.h>
#include <jansson.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace orv {
namespace log {

namespace {

constexpr int kDefaultLevel = kError;

int LevelFromEnvironment() {
  const char* text = std::getenv("ORV_LOG_LEVEL");
  if (text == nullptr || *text == '\0') return kDefaultLevel;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return kDefaultLevel;
  return static_cast<int>(value);
}

struct Logger {
  std::mutex mutex;
  Sink sink;  // guarded by mutex; empty means stderr
};

// Never destroyed: objects torn down at exit may still log.
Logger& TheLogger() {
  static Logger* const logger = new Logger;
  return *logger;
}

void WriteToStderr(level lvl, basic_string_view<char> text) {
  std::string line = std::to_string(static_cast<int>(lvl));
  line += ": ";
  line.append(text.data(), text.size());
  line += '\n';
  // One write per line keeps lines whole even when other processes share
  // the stream; the loop only matters for a partial write to a pipe.
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failing stderr
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

// jansson hands out its text from malloc.
struct FreeText {
  void operator()(char* text) const { std::free(text); }
};

}  // namespace

int current_level = LevelFromEnvironment();

void print(unsigned int /*flags*/, level lvl, basic_string_view<char> text) {
  Logger& logger = TheLogger();
  std::lock_guard<std::mutex> hold(logger.mutex);
  if (logger.sink) {
    logger.sink(lvl, std::string_view(text));
  } else {
    WriteToStderr(lvl, text);
  }
}

Sink set_sink(Sink sink) {
  Logger& logger = TheLogger();
  std::lock_guard<std::mutex> hold(logger.mutex);
  std::swap(logger.sink, sink);
  return sink;
}

}  // namespace log

void log_json(log::level lvl, const char* title, const json_t* value) {
  if (log::current_level < lvl) return;
  std::string line = title != nullptr ? title : "";
  line += ' ';
  if (value == nullptr) {
    line += "null";
  } else {
    // JSON_ENCODE_ANY lets scalars through; JSON_PRESERVE_ORDER keeps the
    // members in the order they were set, which is what a reader expects.
    const std::unique_ptr<char, log::FreeText> text(
        json_dumps(value, JSON_COMPACT | JSON_PRESERVE_ORDER | JSON_ENCODE_ANY));
    line += text ? text.get() : "<unprintable json>";
  }
  log::print(0, lvl, line);
}

}  // namespace orv
