// terminal_text.h: text from the store (names, MACs, values set by devices on
// the LAN) made safe to print on a terminal.

#ifndef ORV_TOOLS_TERMINAL_TEXT_H_
#define ORV_TOOLS_TERMINAL_TEXT_H_

#include <string>

namespace orv_tools {

// Printable returns `text` as one line that can't drive a terminal: control
// characters (C0, DEL, and C1 written in UTF-8) and bytes that are not part
// of valid UTF-8 become \xNN, a backslash becomes \\; other UTF-8 text is
// kept. "a\nb" is shown as a\x0ab, as the library's log lines show it.
std::string Printable(const std::string& text);

}  // namespace orv_tools

#endif  // ORV_TOOLS_TERMINAL_TEXT_H_
