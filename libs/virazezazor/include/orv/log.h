// orv/log.h: the utility library's leveled logger.
//
// A line has a level from 0 (failures) to 4 (debug traces). Callers test
// orv::log::current_level themselves before formatting; print writes every
// line it is given.
//
//   if (orv::log::current_level >= orv::log::kInfo)
//     orv::log::print(0, orv::log::kInfo, "loaded 3 devices");
//
// By default each line goes to stderr as "<level>: <text>\n". Tests and tools
// that want the lines themselves install a sink with set_sink; the sink then
// receives every line instead (level and text, without the line end).

#ifndef ORV_LOG_H_
#define ORV_LOG_H_

#include <functional>
#include <string_view>

#include "orv/string_view.h"
#include "orv/virazezazor_export.h"

struct json_t;

namespace orv {
namespace log {

enum level {
  kError = 0,    // failures and broken invariants
  kWarning = 1,  // not used by the device library
  kNotice = 2,   // events of note
  kInfo = 3,     // routine traces
  kDebug = 4,    // detailed traces
};

// current_level is the process-wide threshold: a line of level L is meant to
// be printed when current_level >= L. It starts from the environment variable
// ORV_LOG_LEVEL (a decimal integer; 0, failures only, when unset or not a
// number). Set it before starting threads that log; it is a plain int, read
// without a lock.
extern VIRAZEZAZOR_EXPORT int current_level;

// print writes one finished line. `flags` is reserved (pass 0). Thread-safe:
// lines of concurrent callers never interleave.
VIRAZEZAZOR_EXPORT void print(unsigned int flags, level lvl, basic_string_view<char> text);

// Sink receives each printed line instead of stderr.
using Sink = std::function<void(level lvl, std::string_view text)>;

// set_sink installs `sink` (an empty function restores stderr) and returns the
// previous one. Thread-safe; the sink runs under the logger's lock, so it must
// not log itself.
VIRAZEZAZOR_EXPORT Sink set_sink(Sink sink);

}  // namespace log

// log_json prints `title`, a blank and the compact JSON text of `value` as one
// line of level `lvl`, when current_level admits it. It keeps no reference to
// `value`; a null value prints as "null".
VIRAZEZAZOR_EXPORT void log_json(log::level lvl, const char* title, const json_t* value);

}  // namespace orv

#endif  // ORV_LOG_H_
