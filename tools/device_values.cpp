#include "device_values.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace orv_tools {
namespace {

enum class Field { kNone, kBlocked, kOnvelk, kOnguest, kScanLevel };

// FieldOf names the integer field `key` holds, if it is one:
// /devices/<id>/<field>, with no other piece.
Field FieldOf(const std::string& key) {
  const std::string prefix = "/devices/";
  if (key.compare(0, prefix.size(), prefix) != 0) return Field::kNone;
  const std::size_t slash = key.find('/', prefix.size());
  if (slash == std::string::npos || slash == prefix.size()) return Field::kNone;
  const std::string name = key.substr(slash + 1);
  if (name == "traffic_blocked") return Field::kBlocked;
  if (name == "onvelk") return Field::kOnvelk;
  if (name == "onguest") return Field::kOnguest;
  if (name == "scan_level") return Field::kScanLevel;
  return Field::kNone;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// WholeInt reads `text` as the store's integer read does: blanks, a sign,
// digits, blanks, and nothing else; false when that is not an int.
bool WholeInt(const std::string& text, int& out) {
  std::size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  const bool negative = at < text.size() && text[at] == '-';
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
  const std::size_t first = at;
  std::int64_t magnitude = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > static_cast<std::int64_t>(INT_MAX) + 1) return false;
    ++at;
  }
  if (at == first) return false;
  while (at < text.size() && IsBlank(text[at])) ++at;
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (at != text.size() || value > INT_MAX || value < INT_MIN) return false;
  out = static_cast<int>(value);
  return true;
}

// LeadingNumber is what strtol makes of the text up to its first NUL byte
// (atoi is strtol cut to an int), and whether that number fits an int.
long LeadingNumber(const std::string& text, bool& fits) {
  errno = 0;
  const long number = std::strtol(text.c_str(), nullptr, 10);
  fits = errno != ERANGE && number >= INT_MIN && number <= INT_MAX;
  return number;
}

int Loaded(Field field, const std::string& value) {
  int number = 0;
  switch (field) {
    case Field::kBlocked:
      return value.empty() || value == "0" ? 0 : 1;
    case Field::kOnvelk:
      if (!WholeInt(value, number)) return 0;
      return number == -1 ? 0 : number;
    case Field::kOnguest:
      return WholeInt(value, number) ? number : 0;
    default:
      return WholeInt(value, number) ? number : 2;
  }
}

}  // namespace

std::string DeviceValueProblem(const std::string& key, const std::string& value) {
  const Field field = FieldOf(key);
  if (field == Field::kNone) return "";
  bool fits = true;
  const long leading = LeadingNumber(value, fits);
  const int loaded = Loaded(field, value);
  // onguest's change is read with the store's integer read, as it is loaded.
  const int changed = field == Field::kOnguest ? loaded : static_cast<int>(leading);
  if (fits && loaded == changed) return "";
  // The line names the value, not all of a megabyte of it.
  constexpr std::size_t kShown = 40;
  const std::string quoted =
      "\"" + (value.size() > kShown ? value.substr(0, kShown) + "\"..." : value + "\"");
  const std::string rules =
      "loads as " + std::to_string(loaded) + ", a change reads it as " + std::to_string(changed);
  if (!fits) return key + ": " + quoted + " is out of an int's range: it " + rules;
  return key + ": " + quoted + " " + rules;
}

}  // namespace orv_tools
