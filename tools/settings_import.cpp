// orv-settings import: a JSON document checked whole against the store's
// rules and its present tree, then written in one batch: all of it or, when
// the store fails midway (a full disk), none.

#include <jansson.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

#include "orv/error.h"
#include "orv/settings.h"
#include "settings_json.h"
#include "settings_tree.h"

namespace orv_tools {
namespace {

// A value to write: the key and its text.
using Write = std::pair<std::string, std::string>;

// RealText is the shortest decimal text that reads back as `number`, so that
// 17.4 is stored as "17.4", not as "17.399999999999999".
std::string RealText(double number) {
  char text[40];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, number);
    if (std::strtod(text, nullptr) == number) return text;
  }
  std::snprintf(text, sizeof text, "%.17g", number);
  return text;
}

// CheckKind refuses `key` when the store holds the other kind there, or
// can't hold anything there (a bad key, a value above it, a name too long).
int CheckKind(const std::string& key, bool node) {
  orv::storage::NodeInfo info;
  if (orv::setMgmt::statKey(key, info) < 0) {
    return orverrno.code() == orv::setMgmt::kNotFound ? kExitOk : StoreFailure();
  }
  if ((info.kind == orv::storage::NodeInfo::kNode) == node) return kExitOk;
  return Fail(kExitUsage, key + (node ? ": the document has a node where the store has a value"
                                      : ": the document has a value where the store has a node"));
}

// ValueText reads a value of the document: a string, a number, or the array
// holding the hex form of text that is not UTF-8. False for anything else.
bool ValueText(const json_t* value, std::string& text) {
  if (json_is_string(value)) {
    text.assign(json_string_value(value), json_string_length(value));
  } else if (json_is_integer(value)) {
    text = std::to_string(json_integer_value(value));
  } else if (json_is_real(value)) {
    text = RealText(json_real_value(value));
  } else {
    const json_t* hex = json_array_get(value, 0);
    return json_is_array(value) && json_array_size(value) == 1 && json_is_string(hex) &&
           FromHex(json_string_value(hex), text);
  }
  return true;
}

class Planner {
 public:
  // Plan checks `value` as the content of `key` and adds its values to the
  // writes. Returns an exit status; after a failure the writes are not used.
  int Plan(const json_t* value, const std::string& key) {
    if (!json_is_object(value)) {
      std::string text;
      if (!ValueText(value, text)) {
        return Fail(kExitUsage, key + ": only objects, strings, numbers and [\"<hex>\"] " +
                                    "(text that is not UTF-8) can be imported");
      }
      if (text.size() > orv::setMgmt::kMaxValueSize) {
        return Fail(kExitUsage, key + ": the value is larger than " +
                                    std::to_string(orv::setMgmt::kMaxValueSize) + " bytes");
      }
      const int status = CheckKind(key, false);
      if (status == kExitOk) writes_.emplace_back(key, std::move(text));
      return status;
    }
    int status = CheckKind(key, true);
    std::set<std::string> children;  // by their keys: names are equal once escaped
    const char* name;
    const json_t* child;
    json_object_foreach(const_cast<json_t*>(value), name, child) {
      if (status != kExitOk) break;
      if (*name != '\0') {
        status = PlanChild(key, name, child, children);
        continue;
      }
      // The member "" holds children by the hex form of their names.
      if (!json_is_object(child)) {
        return Fail(kExitUsage, key + ": the member \"\" holds names in hex, in an object");
      }
      const char* hex_name;
      const json_t* grandchild;
      json_object_foreach(const_cast<json_t*>(child), hex_name, grandchild) {
        std::string bytes;
        if (!FromHex(hex_name, bytes)) {
          return Fail(kExitUsage, key + ": \"" + hex_name + "\" is not a name in hex");
        }
        status = PlanChild(key, bytes, grandchild, children);
        if (status != kExitOk) break;
      }
    }
    return status;
  }

  // Apply writes the planned values, all or none.
  int Apply() const { return orv::setMgmt::setKeys(writes_) < 0 ? StoreFailure() : kExitOk; }

 private:
  int PlanChild(const std::string& key, const std::string& name, const json_t* child,
                std::set<std::string>& children) {
    const std::string child_key = ChildKey(key, name);
    if (!children.insert(child_key).second) {
      return Fail(kExitUsage, child_key + ": two names of the document are this one node");
    }
    return Plan(child, child_key);
  }

  std::vector<Write> writes_;
};

}  // namespace

int ImportFile(const std::string& file, const std::string& key) {
  json_error_t error;
  // A value may hold NUL bytes: export writes them as \u0000.
  const std::size_t flags = JSON_DECODE_ANY | JSON_REJECT_DUPLICATES | JSON_ALLOW_NUL;
  JsonPtr document(file == "-" ? json_loadf(stdin, flags, &error)
                               : json_load_file(file.c_str(), flags, &error));
  if (document == nullptr && error.line < 0) return Fail(kExitFailed, error.text);
  if (document == nullptr) {
    return Fail(kExitUsage, file + ":" + std::to_string(error.line) + ":" +
                                std::to_string(error.column) + ": " + error.text);
  }
  Planner planner;
  const int status = planner.Plan(document.get(), key);
  return status != kExitOk ? status : planner.Apply();
}

}  // namespace orv_tools
