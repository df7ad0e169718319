// Fuzzes the settings store's key checks and orv::path's escaping with
// arbitrary keys, and checks that no file outside the store's root is ever
// created, changed or removed: the root and a canary directory are the only
// entries of a sandbox directory, and after every input the sandbox must hold
// them and nothing else, the canary exactly as it was. Symbolic links are
// planted in the root before every input (to the canary, to a file in it, a
// loop, a dangling one into the canary, and one inside a node), and every
// call is also made through each of them.
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
//  4. "/<link>" and "/<link>/<a escaped>" for each planted link: every call
//     fails (kSymbolicLink, or kNotFound once deleteKey removed the link).

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
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
            code == store::kWrongKind || code == store::kSymbolicLink || code == store::kTooLarge,
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
    canary_ = dir_ + "/canary";
    Check(mkdir(root_.c_str(), 0700) == 0, "mkdir of the root failed");
    Check(mkdir(canary_.c_str(), 0700) == 0 && mkdir((canary_ + "/sub").c_str(), 0700) == 0,
          "mkdir of the canary failed");
    WriteFile(canary_ + "/secret", "canary");
    WriteFile(canary_ + "/sub/deep", "deep");
    canary_before_ = Snapshot(canary_);
    Check(store::set_root(root_) == 0, "set_root failed");
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  ~Sandbox() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // PlantLinks (re)makes the links of kLinks in the root.
  void PlantLinks() const {
    mkdir((root_ + "/node").c_str(), 0700);
    const std::pair<const char*, std::string> links[] = {{"to_dir", canary_},
                                                         {"to_file", canary_ + "/secret"},
                                                         {"loop", "loop"},
                                                         {"dangling", canary_ + "/planted"},
                                                         {"node/up", "../../canary"},
                                                         {"relative", "../canary/sub"}};
    for (const auto& [name, target] : links) symlink(target.c_str(), (root_ + "/" + name).c_str());
  }

  // CheckUntouched: the sandbox holds the root and the canary, directories,
  // and nothing else; the canary holds what it did.
  void CheckUntouched() const {
    Check(Snapshot(canary_) == canary_before_, "the canary beside the root changed");
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
    Check(entries == 2 && root_seen, "a file outside the store's root was created or removed");
    struct stat info;
    Check(stat(root_.c_str(), &info) == 0 && S_ISDIR(info.st_mode), "the root is not a directory");
  }

 private:
  static void WriteFile(const std::string& file, const std::string& text) {
    std::FILE* out = std::fopen(file.c_str(), "w");
    Check(out != nullptr && std::fputs(text.c_str(), out) >= 0 && std::fclose(out) == 0,
          "writing the canary failed");
  }

  // Snapshot lists every entry below `directory` with its kind and contents.
  static std::string Snapshot(const std::string& directory) {
    std::vector<std::string> lines;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      std::string line = it->path().string();
      if (it->is_symlink()) {
        line += " -> " + std::filesystem::read_symlink(it->path()).string();
      } else if (it->is_regular_file()) {
        std::FILE* in = std::fopen(it->path().c_str(), "r");
        char buffer[256];
        const std::size_t got = in ? std::fread(buffer, 1, sizeof(buffer), in) : 0;
        if (in) std::fclose(in);
        line += " = " + std::string(buffer, got);
      }
      lines.push_back(line);
    }
    Check(!error, "the canary can't be read");
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }

  std::string dir_;
  std::string root_;
  std::string canary_;
  std::string canary_before_;
};

// The links PlantLinks makes, as keys.
const char* const kLinks[] = {"/to_dir", "/to_file", "/loop", "/dangling", "/node/up", "/relative"};

// Planted is true for the names PlantLinks takes at the top of the root.
bool Planted(const std::string& name) {
  for (const char* link : kLinks) {
    if (name == std::string(link).substr(1, std::string(link).find('/', 1) - 1)) return true;
  }
  return false;
}

// ThroughLink: every call on `key`, at or below a planted link, fails.
void ThroughLink(const std::string& key, const std::string& value) {
  std::string read = "kept";
  orv::storage::NodeInfo info;
  std::vector<std::string> names;
  const int results[] = {store::setKey(key, value), store::getKey(key, read),
                         store::statKey(key, info), store::enumSubkeys(key, names)};
  for (const int result : results) {
    Check(result < 0, "a call went through a symbolic link");
    Check(orverrno.code() == store::kSymbolicLink || orverrno.code() == store::kBadKey ||
              orverrno.code() == store::kTooLarge,
          "a call through a link failed without saying so");
  }
  Check(read == "kept" && names.empty(), "a call through a link gave something back");
}

// Wipe deletes every node and value under the root (links are not listed,
// and stay).
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
  sandbox.PlantLinks();

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
  if (!name.empty() && !Planted(name)) {
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
  if ((flags & 3) == 0 && !name.empty() && !Planted(name) && !second.empty() &&
      name.size() <= NAME_MAX && second.size() <= NAME_MAX) {
    RoundTrip(joined.str(), value);
    Check(store::setKey(joined.str(), value) == 0, "setKey refused a good key");
    Check(Lists("/" + name, second), "enumSubkeys doesn't list an escaped name");
  }
  Wipe();
  sandbox.CheckUntouched();

  // 4. Through the planted links.
  sandbox.PlantLinks();
  for (const char* link : kLinks) {
    ThroughLink(link, value);
    if (!name.empty()) ThroughLink(std::string(link) + "/" + name, value);
    CheckFailure(store::deleteKey(std::string(link) + "/x"), "deleteKey below a link");
  }
  if (flags & 4) {
    // Deleting a link removes the link alone.
    Check(store::deleteKey(kLinks[flags % 6]) == 0, "deleteKey of a link failed");
    Check(store::deleteKey("/node") == 0, "deleteKey of a node holding a link failed");
  }
  sandbox.CheckUntouched();
  return 0;
}
