// settings_json.h: what orv-settings' export and import share: the JSON
// handle, the keys of children, and the hex form of text that is not UTF-8.

#ifndef ORV_TOOLS_SETTINGS_JSON_H_
#define ORV_TOOLS_SETTINGS_JSON_H_

#include <jansson.h>

#include <memory>
#include <string>

namespace orv_tools {

struct JsonDeleter {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

// The member of an object that holds the children whose names are not UTF-8,
// by the hex form of their names. The store never has an empty name.
constexpr char kHexNames[] = "";

// TextJson makes the JSON form of a text of the store (a value, a key): a
// string, or for text that is not UTF-8 the array holding its hex form.
json_t* TextJson(const std::string& text);

// CompactJson renders `value` on one line, without a line end.
std::string CompactJson(const json_t* value);

// ChildKey returns the key of the child `name` of the node `key`, the name
// escaped as one node name ("a/b" becomes "a%2Fb").
std::string ChildKey(const std::string& key, const std::string& name);

// Hex returns `bytes` as lowercase hex digits, two per byte.
std::string Hex(const std::string& bytes);

// FromHex decodes hex digits (either case) into `bytes`; false when `hex` is
// empty, of odd length or holds anything else.
bool FromHex(const std::string& hex, std::string& bytes);

}  // namespace orv_tools

#endif  // ORV_TOOLS_SETTINGS_JSON_H_
