#include "settings_json.h"

#include <cstdlib>

#include "orv/path.h"

namespace orv_tools {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

json_t* TextJson(const std::string& text) {
  json_t* string = json_stringn(text.data(), text.size());
  return string != nullptr ? string : json_pack("[s]", Hex(text).c_str());
}

std::string CompactJson(const json_t* value) {
  char* text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  if (text == nullptr) return "null";
  std::string line(text);
  std::free(text);
  return line;
}

std::string ChildKey(const std::string& key, const std::string& name) {
  orv::path child;
  child.add_piece(true, key).add_piece(false, name);
  return child.str();
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (const char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xf];
  }
  return hex;
}

bool FromHex(const std::string& hex, std::string& bytes) {
  if (hex.empty() || hex.size() % 2 != 0) return false;
  std::string decoded;
  decoded.reserve(hex.size() / 2);
  for (std::size_t at = 0; at < hex.size(); at += 2) {
    const int high = HexDigit(hex[at]);
    const int low = HexDigit(hex[at + 1]);
    if (high < 0 || low < 0) return false;
    decoded += static_cast<char>(high * 16 + low);
  }
  bytes = std::move(decoded);
  return true;
}

}  // namespace orv_tools
