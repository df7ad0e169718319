// Fuzzes the settings store's key checks and orv::path's escaping with
// arbitrary keys, and checks that no file outside the store's root is ever
// created, changed or removed: the root is the only entry of a sandbox
// directory, and after every input the sandbox must hold the root and nothing
// else.
//
// Input: a flags byte, then "<a>\n<b>\n<value>" (later parts optional).
//  1. <a> escaped as one name (add_piece(false, ...)) must give a key the
//     store accepts, that enumSubkeys lists back unchanged and that holds
//     <value> exactly; unless the name is too long, which is a bad key.
//  2. <a> taken as a key as it is, and
//  3. <a> and <b> joined with add_piece (flags bit 0 and bit 1: raw), go
//     through setKey, getKey, statKey, enumSubkeys and deleteKey: each call
//     succeeds or records one of the store's codes, and a key that setKey
//     accepted reads back <value>. Two escaped names always make a good key.

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "orv/error.h"
#include "orv/log.h"
#include "orv/path.h"
#include "orv/settings.h"

namespace {

namespace store = orv::setMgmt;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "store_keys_fuzzer: %s\n", what);
    abort();
  }
}

// A failed call returns below 0 and records one of the store's codes.
void CheckFailure(int result, const char* what) {
  if (result >= 0) return;
  const int code = orverrno.code();
  Check(code == store::kBadKey || code == store::kIoError || code == store::kNotFound ||
            code == store::kWrongKind,
        what);
  if (code == store::kBadKey) Check(orverrno.message().rfind("bad key", 0) == 0, what);
}

class Sandbox {
 public:
  Sandbox() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "orv-fuzz-store-XXXXXX").string();
    Check(mkdtemp(&pattern[0]) != nullptr, "mkdtemp failed");
    dir_ = pattern;
    root_ = dir_ + "/root";
    Check(mkdir(root_.c_str(), 0700) == 0, "mkdir of the root failed");
    store::set_root(root_);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  ~Sandbox() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // CheckUntouched: the sandbox holds the root, a directory, and nothing else.
  void CheckUntouched() const {
    DIR* dir = opendir(dir_.c_str());
    Check(dir != nullptr, "the sandbox is gone");
    int entries = 0;
    bool root_seen = false;
    while (const dirent* entry = readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      ++entries;
      root_seen = root_seen || name == "root";
    }
    closedir(dir);
    Check(entries == 1 && root_seen, "a file outside the store's root was created or removed");
    struct stat info;
    Check(stat(root_.c_str(), &info) == 0 && S_ISDIR(info.st_mode), "the root is not a directory");
  }

 private:
  std::string dir_;
  std::string root_;
};

// Wipe deletes every node and value under the root.
void Wipe() {
  std::vector<std::string> names;
  store::enumSubkeys("/", names);
  for (const std::string& name : names) {
    Check(store::deleteKey("/" + name) == 0, "a listed name can't be deleted");
  }
}

bool Lists(const std::string& key, const std::string& name) {
  std::vector<std::string> names;
  if (store::enumSubkeys(key, names) < 0) return false;
  return std::find(names.begin(), names.end(), name) != names.end();
}

// RoundTrip: `key` holds `value` after setKey, and is gone after deleteKey.
void RoundTrip(const std::string& key, const std::string& value) {
  Check(store::setKey(key, value) == 0, "setKey refused a good key");
  std::string read;
  Check(store::getKey(key, read) == static_cast<int>(value.size()) && read == value,
        "getKey doesn't give back what setKey stored");
  orv::storage::NodeInfo info;
  Check(store::statKey(key, info) == 0 && info.kind == orv::storage::NodeInfo::kValue &&
            info.size == static_cast<std::int64_t>(value.size()),
        "statKey doesn't describe the stored value");
  Check(store::deleteKey(key) == 0, "deleteKey failed on a stored value");
  Check(store::statKey(key, info) < 0 && orverrno.code() == store::kNotFound,
        "a deleted key is still there");
}

// AnyKey runs every call on an arbitrary key.
void AnyKey(const std::string& key, const std::string& value) {
  const int set = store::setKey(key, value);
  CheckFailure(set, "setKey failed without a store code");
  std::string read;
  const int got = store::getKey(key, read);
  CheckFailure(got, "getKey failed without a store code");
  if (set == 0) {
    Check(got == static_cast<int>(value.size()) && read == value,
          "getKey doesn't give back what setKey stored");
  }
  orv::storage::NodeInfo info;
  CheckFailure(store::statKey(key, info), "statKey failed without a store code");
  std::vector<std::string> names;
  CheckFailure(store::enumSubkeys(key, names), "enumSubkeys failed without a store code");
  CheckFailure(store::deleteKey(key), "deleteKey failed without a store code");
}

// EscapedName checks the form of one escaped name and returns it.
std::string EscapedName(std::string_view piece) {
  orv::path key;
  key.add_piece(false, orv::basic_string_view<char>(piece.data(), piece.size()));
  const std::string& text = key.str();
  Check(!text.empty() && text.front() == '/', "an escaped key doesn't start with /");
  const std::string name = text.substr(1);
  Check(name.find('/') == std::string::npos, "an escaped name holds a /");
  Check(name.find('\0') == std::string::npos, "an escaped name holds a NUL byte");
  Check(name.empty() || name.front() != '.', "an escaped name starts with .");
  Check(name.empty() == piece.empty(), "escaping emptied or filled a name");
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Sandbox sandbox;
  static const bool quiet = [] {
    orv::log::current_level = orv::log::kDebug;
    orv::log::set_sink([](orv::log::level, std::string_view) {});
    return true;
  }();
  static_cast<void>(quiet);
  if (size == 0) return 0;

  const unsigned flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string_view parts[3];
  for (int i = 0; i < 2; ++i) {
    const std::size_t newline = rest.find('\n');
    parts[i] = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
  }
  parts[2] = rest;
  const std::string a(parts[0]), b(parts[1]), value(parts[2]);

  // 1. One escaped name.
  const std::string name = EscapedName(a);
  if (!name.empty()) {
    if (name.size() <= NAME_MAX) {
      RoundTrip("/" + name, value);
      Check(store::setKey("/" + name, value) == 0, "setKey refused a good key");
      Check(Lists("/", name), "enumSubkeys doesn't list an escaped name as it was written");
    } else {
      Check(store::setKey("/" + name, value) < 0 && orverrno.code() == store::kBadKey,
            "an overlong name was not refused as a bad key");
    }
    Wipe();
  }
  sandbox.CheckUntouched();

  // 2. The text as a key.
  AnyKey(a, value);
  Wipe();
  sandbox.CheckUntouched();

  // 3. Two pieces joined, each raw or escaped.
  orv::path joined;
  joined.add_piece((flags & 1) != 0, orv::basic_string_view<char>(a.data(), a.size()));
  joined.add_piece((flags & 2) != 0, orv::basic_string_view<char>(b.data(), b.size()));
  AnyKey(joined.str(), value);
  const std::string second = EscapedName(b);
  if ((flags & 3) == 0 && !name.empty() && !second.empty() && name.size() <= NAME_MAX &&
      second.size() <= NAME_MAX) {
    RoundTrip(joined.str(), value);
    Check(store::setKey(joined.str(), value) == 0, "setKey refused a good key");
    Check(Lists("/" + name, second), "enumSubkeys doesn't list an escaped name");
  }
  Wipe();
  sandbox.CheckUntouched();
  return 0;
}
