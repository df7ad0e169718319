#include "settings_tree.h"

#include <jansson.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "orv/error.h"
#include "orv/path.h"
#include "orv/settings.h"

namespace orv_tools {
namespace {

struct JsonDeleter {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

// ChildKey returns the key of the child `name` of the node `key`.
std::string ChildKey(const std::string& key, const std::string& name) {
  orv::path child;
  child.add_piece(true, key).add_piece(false, name);
  return child.str();
}

// Printable shows a value on one line: control characters and backslashes
// are escaped, every other byte (UTF-8 text included) is kept.
std::string Printable(const std::string& value) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : value) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

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
      std::fprintf(out, "%s%s/\n", indent.c_str(), name.c_str());
      const int status = ListChildren(child, depth + 1, out);
      if (status != kExitOk) return status;
    } else {
      std::string value;
      if (orv::setMgmt::getKey(child, value) < 0) return StoreFailure();
      std::fprintf(out, "%s%s = %s\n", indent.c_str(), name.c_str(), Printable(value).c_str());
    }
  }
  return kExitOk;
}

// JsonText makes a JSON string of `text`; null when it isn't UTF-8.
json_t* JsonText(const std::string& text) { return json_stringn(text.data(), text.size()); }

int ExportValue(const std::string& key, JsonPtr& out) {
  orv::storage::NodeInfo::Kind kind;
  if (!Kind(key, kind)) return StoreFailure();
  if (kind == orv::storage::NodeInfo::kValue) {
    std::string value;
    if (orv::setMgmt::getKey(key, value) < 0) return StoreFailure();
    out.reset(JsonText(value));
    if (out == nullptr) return Fail(kExitFailed, key + ": the value is not UTF-8 text");
    return kExitOk;
  }
  std::vector<std::string> names;
  if (orv::setMgmt::enumSubkeys(key, names) < 0) return StoreFailure();
  JsonPtr node(json_object());
  for (const std::string& name : names) {
    JsonPtr child;
    const int status = ExportValue(ChildKey(key, name), child);
    if (status != kExitOk) return status;
    if (json_object_set_new(node.get(), name.c_str(), child.release()) != 0) {
      return Fail(kExitFailed, ChildKey(key, name) + ": the name is not UTF-8 text");
    }
  }
  out = std::move(node);
  return kExitOk;
}

// StoredText is the text a JSON value is stored as: a string's bytes, a
// number's decimal form.
std::string StoredText(const json_t* value) {
  if (json_is_string(value))
    return std::string(json_string_value(value), json_string_length(value));
  std::unique_ptr<char, FreeDeleter> text(json_dumps(value, JSON_ENCODE_ANY));
  return text ? std::string(text.get()) : std::string();
}

// CheckDocument refuses what the store can't hold, before anything is written.
int CheckDocument(const json_t* value, const std::string& key) {
  if (json_is_string(value) || json_is_number(value)) return kExitOk;
  if (!json_is_object(value)) {
    return Fail(kExitUsage, key + ": only objects, strings and numbers can be imported");
  }
  const char* name;
  const json_t* child;
  json_object_foreach(const_cast<json_t*>(value), name, child) {
    if (*name == '\0') return Fail(kExitUsage, key + ": a node name is empty");
    const int status = CheckDocument(child, ChildKey(key, name));
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

int WriteDocument(const json_t* value, const std::string& key) {
  if (!json_is_object(value)) {
    return orv::setMgmt::setKey(key, StoredText(value)) < 0 ? StoreFailure() : kExitOk;
  }
  const char* name;
  const json_t* child;
  json_object_foreach(const_cast<json_t*>(value), name, child) {
    const int status = WriteDocument(child, ChildKey(key, name));
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

}  // namespace

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "orv-settings: %s\n", message.c_str());
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
    std::fprintf(out, "%s = %s\n", key.c_str(), Printable(value).c_str());
    return kExitOk;
  }
  std::fprintf(out, "%s\n", key.c_str());
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

int ImportFile(const std::string& file, const std::string& key) {
  json_error_t error;
  JsonPtr document(file == "-" ? json_loadf(stdin, JSON_DECODE_ANY, &error)
                               : json_load_file(file.c_str(), JSON_DECODE_ANY, &error));
  if (document == nullptr && error.line < 0) return Fail(kExitFailed, error.text);
  if (document == nullptr) {
    return Fail(kExitUsage, file + ":" + std::to_string(error.line) + ":" +
                                std::to_string(error.column) + ": " + error.text);
  }
  const int status = CheckDocument(document.get(), key);
  if (status != kExitOk) return status;
  return WriteDocument(document.get(), key);
}

}  // namespace orv_tools
