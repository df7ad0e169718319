#include "terminal_text.h"

namespace orv_tools {
namespace {

// Utf8Length returns the length of the valid UTF-8 sequence at `at`, 0 if
// there is none (a stray byte, an overlong form, a surrogate, past U+10FFFF).
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  const std::size_t length = lead >= 0xc2 && lead < 0xe0   ? 2
                             : lead >= 0xe0 && lead < 0xf0 ? 3
                             : lead >= 0xf0 && lead < 0xf5 ? 4
                                                           : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) return 0;
  }
  const unsigned char second = static_cast<unsigned char>(text[at + 1]);
  if (lead == 0xe0 && second < 0xa0) return 0;   // overlong
  if (lead == 0xed && second >= 0xa0) return 0;  // surrogate
  if (lead == 0xf0 && second < 0x90) return 0;   // overlong
  if (lead == 0xf4 && second >= 0x90) return 0;  // past U+10FFFF
  return length;
}

void AppendHex(std::string& out, unsigned char byte) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xf];
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = Utf8Length(text, at);
    const bool c1 = length == 2 && byte == 0xc2 && static_cast<unsigned char>(text[at + 1]) < 0xa0;
    if (byte == '\\') {
      out += "\\\\";
    } else if (length == 0 || byte < 0x20 || byte == 0x7f || c1) {
      for (std::size_t i = 0; i < (length == 0 ? 1 : length); ++i) {
        AppendHex(out, static_cast<unsigned char>(text[at + i]));
      }
    } else {
      out.append(text, at, length);
    }
    at += length == 0 ? 1 : length;
  }
  return out;
}

}  // namespace orv_tools
