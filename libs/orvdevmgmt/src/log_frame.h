// log_frame.h: how the device library writes its log lines.
//
//   ORV_LOG(orv::log::kInfo, "mac=%s, device_id=%s", mac, device_id);
//
// prints "[orvdevmgmt:<line>][<function>()]: mac=m1, device_id=d1" at level 3,
// when the logger's current level admits it. A suppressed line costs one load
// and one comparison: nothing is formatted or allocated.
//
// Formats are printf-like, with tinyformat's rule that "%s" takes any
// streamable value; "%d" takes an integer and "%%" writes a percent sign.
// Control characters in texts are written as "\xNN": one call, one line.

#ifndef ORVDEVMGMT_SRC_LOG_FRAME_H_
#define ORVDEVMGMT_SRC_LOG_FRAME_H_

#include <cstddef>
#include <ostream>
#include <string_view>
#include <utility>

#include "orv/log.h"
#include "orv/memstream.h"
#include "orv/path.h"
#include "orv/string_view.h"

namespace orv {
namespace log {
namespace frame_internal {

// WriteLiteral copies `format` up to its next conversion, turning "%%" into
// "%", and returns the position just past that conversion's "%" (or npos).
std::size_t WriteLiteral(std::ostream& out, std::string_view format, std::size_t from);

// WriteEscaped writes `text` with every control character (a line end, a
// tab, DEL...) as "\xNN", so that a line stays one line whatever bytes a key
// or value holds.
void WriteEscaped(std::ostream& out, std::string_view text);

// WriteArgument writes one argument: texts escaped, anything else streamed.
inline void WriteArgument(std::ostream& out, std::string_view text) { WriteEscaped(out, text); }
inline void WriteArgument(std::ostream& out, const std::string& text) { WriteEscaped(out, text); }
inline void WriteArgument(std::ostream& out, const char* text) {
  WriteEscaped(out, text != nullptr ? std::string_view(text) : std::string_view());
}
inline void WriteArgument(std::ostream& out, basic_string_view<char> text) {
  WriteEscaped(out, text);
}
inline void WriteArgument(std::ostream& out, const path& key) { WriteEscaped(out, key.str()); }
template <class T>
void WriteArgument(std::ostream& out, const T& value) {
  out << value;
}

// SkipConversion returns the position after the conversion starting at
// `from` (flags, width and precision are read over, not applied).
std::size_t SkipConversion(std::string_view format, std::size_t from);

inline void Format(std::ostream& out, std::string_view format, std::size_t from) {
  // Arguments are used up: the rest of the format is literal text. A
  // conversion without an argument prints nothing.
  while (from != std::string_view::npos && from <= format.size()) {
    from = WriteLiteral(out, format, from);
    if (from != std::string_view::npos) from = SkipConversion(format, from);
  }
}

template <class First, class... Rest>
void Format(std::ostream& out, std::string_view format, std::size_t from, const First& first,
            const Rest&... rest) {
  from = WriteLiteral(out, format, from);
  if (from == std::string_view::npos) return;  // more arguments than conversions
  WriteArgument(out, first);
  Format(out, format, SkipConversion(format, from), rest...);
}

}  // namespace frame_internal

// print formats one line of the device library and hands it to the logger:
// "[<file>:<line>][<function>()]: " then `format` with `args`.
template <class... Args>
void print(unsigned int flags, level lvl, basic_string_view<char> file, int line,
           basic_string_view<char> function, basic_string_view<char> format, Args&&... args) {
  if (current_level < static_cast<int>(lvl)) return;
  basic_memstream out(512);
  frame_internal::Format(out, "[%s:%d][%s()]: ", 0, file, line, function);
  frame_internal::Format(out, format, 0, args...);
  print(flags, lvl, out.view());
}

// print_as_sync_thread writes a line as ORV_LOG does, under the function
// name "sync_thread_function": every line the sync thread writes carries it,
// whichever helper of the thread writes it. `line` is the caller's __LINE__.
template <class... Args>
void print_as_sync_thread(level lvl, int line, basic_string_view<char> format,
                          const Args&... args) {
  if (current_level < static_cast<int>(lvl)) return;
  print(0, lvl, "orvdevmgmt", line, "sync_thread_function", format, args...);
}

}  // namespace log
}  // namespace orv

// ORV_LOG writes one line with the fixed parts of the frame filled in: the
// source name "orvdevmgmt", the line of the call and the calling function.
// The level is tested here, at the call, because print is too big to be
// inlined: a suppressed line would otherwise cost a call with a dozen
// arguments. The arguments are not evaluated for a suppressed line.
#define ORV_LOG(lvl, ...)                                                         \
  do {                                                                            \
    if (::orv::log::current_level >= static_cast<int>(lvl)) {                     \
      ::orv::log::print(0, (lvl), "orvdevmgmt", __LINE__, __func__, __VA_ARGS__); \
    }                                                                             \
  } while (false)

#endif  // ORVDEVMGMT_SRC_LOG_FRAME_H_
