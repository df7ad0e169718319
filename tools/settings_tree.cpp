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

void Print(std::FILE* out, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out);
}

// PrintEntry prints one node (`value` null) or value of a listing. `name` is
// the entry's own name, "" for the listing's top key.
void PrintEntry(Listing listing, const std::string& key, const std::string& name, int depth,
                const std::string* value, std::FILE* out) {
  const std::string label = depth == 0 ? Printable(key) : Printable(name);
  const std::string indent(2 * depth, ' ');
  switch (listing) {
    case Listing::kIndented:
      if (value == nullptr) {
        Print(out, indent + label + (depth == 0 ? "\n" : "/\n"));
      } else {
        Print(out, indent + label + " = " + Printable(*value) + "\n");
      }
      return;
    case Listing::kFlat:
      if (value != nullptr) Print(out, Printable(key) + "=" + Printable(*value) + "\n");
      return;
    case Listing::kJson:
    case Listing::kFlatJson:
      if (value == nullptr && listing == Listing::kFlatJson) return;
      JsonPtr entry(json_object());
      json_object_set_new(entry.get(), "key", TextJson(key));
      json_object_set_new(entry.get(), value == nullptr ? "node" : "value",
                          value == nullptr ? json_true() : TextJson(*value));
      Print(out, CompactJson(entry.get()) + "\n");
      return;
  }
}

int ListEntry(const std::string& key, const std::string& name, int depth, Listing listing,
              std::FILE* out) {
  orv::storage::NodeInfo::Kind kind;
  if (!Kind(key, kind)) return StoreFailure();
  if (kind == orv::storage::NodeInfo::kValue) {
    std::string value;
    if (orv::setMgmt::getKey(key, value) < 0) return StoreFailure();
    PrintEntry(listing, key, name, depth, &value, out);
    return kExitOk;
  }
  PrintEntry(listing, key, name, depth, nullptr, out);
  std::vector<std::string> names;
  if (orv::setMgmt::enumSubkeys(key, names) < 0) return StoreFailure();
  for (const std::string& child : names) {
    const int status = ListEntry(ChildKey(key, child), child, depth + 1, listing, out);
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

int ExportValue(const std::string& key, JsonPtr& out) {
  orv::storage::NodeInfo::Kind kind;
  if (!Kind(key, kind)) return StoreFailure();
  if (kind == orv::storage::NodeInfo::kValue) {
    std::string value;
    if (orv::setMgmt::getKey(key, value) < 0) return StoreFailure();
    out.reset(TextJson(value));
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

int Fail(int status, const std::string& message) { return Fail("orv-settings", status, message); }

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

int ListTree(const std::string& key, Listing listing, std::FILE* out) {
  return ListEntry(key, "", 0, listing, out);
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
