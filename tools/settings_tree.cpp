#include "settings_tree.h"

#include <jansson.h>

#include <vector>

#include "orv/error.h"
#include "orv/settings.h"
#include "settings_json.h"
#include "terminal_text.h"

namespace orv_tools {
namespace {

// Kind reads what is at `key`; false when the store can't say.
bool Kind(const std::string& key, orv::storage::NodeInfo::Kind& kind) {
  orv::storage::NodeInfo info;
  if (orv::setMgmt::statKey(key, info) < 0) return false;
  kind = info.kind;
  return true;
}

int ListChildren(const std::string& key, int depth, std::FILE* out) {
  std::vector<std::string> names;
  if (orv::setMgmt::enumSubkeys(key, names) < 0) return StoreFailure();
  const std::string indent(2 * depth, ' ');
  for (const std::string& name : names) {
    const std::string child = ChildKey(key, name);
    orv::storage::NodeInfo::Kind kind;
    if (!Kind(child, kind)) return StoreFailure();
    if (kind == orv::storage::NodeInfo::kNode) {
      std::fprintf(out, "%s%s/\n", indent.c_str(), Printable(name).c_str());
      const int status = ListChildren(child, depth + 1, out);
      if (status != kExitOk) return status;
    } else {
      std::string value;
      if (orv::setMgmt::getKey(child, value) < 0) return StoreFailure();
      std::fprintf(out, "%s%s = %s\n", indent.c_str(), Printable(name).c_str(),
                   Printable(value).c_str());
    }
  }
  return kExitOk;
}

// ValueJson is a value's JSON form: a string, or for text that is not UTF-8
// an array holding its hex form.
json_t* ValueJson(const std::string& value) {
  json_t* text = json_stringn(value.data(), value.size());
  return text != nullptr ? text : json_pack("[s]", Hex(value).c_str());
}

int ExportValue(const std::string& key, JsonPtr& out) {
  orv::storage::NodeInfo::Kind kind;
  if (!Kind(key, kind)) return StoreFailure();
  if (kind == orv::storage::NodeInfo::kValue) {
    std::string value;
    if (orv::setMgmt::getKey(key, value) < 0) return StoreFailure();
    out.reset(ValueJson(value));
    return kExitOk;
  }
  std::vector<std::string> names;
  if (orv::setMgmt::enumSubkeys(key, names) < 0) return StoreFailure();
  JsonPtr node(json_object());
  JsonPtr hex_names(json_object());
  for (const std::string& name : names) {
    JsonPtr child;
    const int status = ExportValue(ChildKey(key, name), child);
    if (status != kExitOk) return status;
    // Refused when the name is not UTF-8: it goes by its hex form instead.
    if (json_object_set(node.get(), name.c_str(), child.get()) != 0) {
      json_object_set(hex_names.get(), Hex(name).c_str(), child.get());
    }
  }
  if (json_object_size(hex_names.get()) != 0) {
    json_object_set(node.get(), kHexNames, hex_names.get());
  }
  out = std::move(node);
  return kExitOk;
}

}  // namespace

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "orv-settings: %s\n", Printable(message).c_str());
  return status;
}

int StoreFailure() {
  switch (orverrno.code()) {
    case orv::setMgmt::kNotFound:
      return Fail(kExitMissing, orverrno.message());
    case orv::setMgmt::kBadKey:
    case orv::setMgmt::kWrongKind:
      return Fail(kExitUsage, orverrno.message());
    default:
      return Fail(kExitFailed, orverrno.message());
  }
}

int ListTree(const std::string& key, std::FILE* out) {
  orv::storage::NodeInfo::Kind kind;
  if (!Kind(key, kind)) return StoreFailure();
  if (kind == orv::storage::NodeInfo::kValue) {
    std::string value;
    if (orv::setMgmt::getKey(key, value) < 0) return StoreFailure();
    std::fprintf(out, "%s = %s\n", Printable(key).c_str(), Printable(value).c_str());
    return kExitOk;
  }
  std::fprintf(out, "%s\n", Printable(key).c_str());
  return ListChildren(key, 1, out);
}

int ExportTree(const std::string& key, std::FILE* out) {
  JsonPtr document;
  const int status = ExportValue(key, document);
  if (status != kExitOk) return status;
  if (json_dumpf(document.get(), out, JSON_INDENT(2) | JSON_ENCODE_ANY) != 0) {
    return Fail(kExitFailed, "can't write the document");
  }
  std::fputc('\n', out);
  return kExitOk;
}

}  // namespace orv_tools
