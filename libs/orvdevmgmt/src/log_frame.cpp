#include "log_frame.h"

#include <cstring>

namespace orv {
namespace log {
namespace frame_internal {

std::size_t WriteLiteral(std::ostream& out, std::string_view format, std::size_t from) {
  while (from < format.size()) {
    const std::size_t percent = format.find('%', from);
    if (percent == std::string_view::npos) break;
    out.write(format.data() + from, static_cast<std::streamsize>(percent - from));
    if (percent + 1 < format.size() && format[percent + 1] == '%') {
      out.put('%');
      from = percent + 2;
      continue;
    }
    return percent + 1;
  }
  if (from < format.size()) {
    out.write(format.data() + from, static_cast<std::streamsize>(format.size() - from));
  }
  return std::string_view::npos;
}

void WriteEscaped(std::ostream& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t from = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x20 && byte != 0x7f) continue;
    out.write(text.data() + from, static_cast<std::streamsize>(at - from));
    const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    out.write(escaped, sizeof escaped);
    from = at + 1;
  }
  out.write(text.data() + from, static_cast<std::streamsize>(text.size() - from));
}

std::size_t SkipConversion(std::string_view format, std::size_t from) {
  // Flags, width, precision and length modifiers come before the letter.
  while (from < format.size() && format[from] != '\0' &&
         std::strchr("-+ #0123456789.hlLqjzt", format[from]) != nullptr) {
    ++from;
  }
  return from < format.size() ? from + 1 : format.size();
}

}  // namespace frame_internal
}  // namespace log
}  // namespace orv
