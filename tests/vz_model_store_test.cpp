// The store against a model of it: random runs of set, get, delete, list and
// copies through orv-settings' export and import, over keys whose names
// prefix each other (d1, d10, d1x), nested nodes, values at the size cap and
// texts with odd bytes. After every step the store answers as the model does
// (results, codes, texts, listings) and its directory holds exactly the
// model's tree: a directory per node, a file of mode 0644 per value, nothing
// hidden left behind.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "orv/error.h"
#include "orv/settings.h"
#include "settings_tree.h"
#include "support/log_capture.h"
#include "support/model.h"
#include "support/temp_store.h"

namespace {

namespace fs = std::filesystem;
namespace sm = orv::setMgmt;
using Texts = std::vector<std::string>;

const std::string kCap(sm::kMaxValueSize, 'c');
// Values, by index: plain, empty, bytes JSON can't hold, control bytes and
// NUL, at the cap and one byte over it.
const std::vector<std::string> kValues = {
    "v", "", "\xc3\x28\xff", std::string("line\n\0\x1b[2J", 10), "\xc3\xa9t\xc3\xa9",
    kCap, kCap + "!"};
// Node names: prefixes of each other, an escape that is only text, a blank,
// bytes that are not UTF-8.
const std::vector<std::string> kNames = {"d1", "d10", "d1x", "%2F", "a b", "m\xff"};

enum Op { kSet, kGet, kDelete, kList, kCopy };
struct Step {
  Op op;
  std::string key, to;  // `to`: where kCopy imports the export of `key`
  int value;            // an index into kValues
};

// Short renders a text for a failure report: long ones by size and hash.
std::string Short(const std::string& text) {
  if (text.size() <= 40) return "\"" + text + "\"";
  return std::to_string(text.size()) + " bytes #" + std::to_string(std::hash<std::string>()(text));
}

void showValue(const Step& step, std::ostream& out) {
  static const char* const kOps[] = {"set", "get", "del", "ls", "copy"};
  out << kOps[step.op] << " " << Short(step.key);
  if (step.op == kCopy) out << " " << Short(step.to);
  if (step.op == kSet) out << " " << Short(kValues[step.value]);
}

rc::Gen<std::string> GenKey() {
  return rc::gen::apply(
      [](int depth, const std::string& a, const std::string& b, const std::string& c) {
        const std::string pieces[] = {a, b, c};
        std::string key;
        for (int i = 0; i < depth; ++i) key += "/" + pieces[i];
        return key;
      },
      rc::gen::inRange(1, 4), rc::gen::elementOf(kNames), rc::gen::elementOf(kNames),
      rc::gen::elementOf(kNames));
}

rc::Gen<Step> GenStep() {
  return rc::gen::construct<Step>(
      rc::gen::weightedElement<Op>({{6, kSet}, {2, kGet}, {2, kDelete}, {2, kList}, {1, kCopy}}),
      GenKey(), GenKey(),
      rc::gen::weightedElement<int>({{8, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}, {1, 5}, {1, 6}}));
}

std::string Parent(const std::string& key) { return key.substr(0, key.rfind('/')); }
bool Below(const std::string& key, const std::string& node) {
  return key.size() > node.size() && key.compare(0, node.size(), node) == 0 &&
         key[node.size()] == '/';
}

// Model is the tree as the store promises it: values by key, and the nodes.
struct Model {
  std::map<std::string, std::string> values;
  std::set<std::string> nodes;

  bool IsValue(const std::string& key) const { return values.count(key) != 0; }
  bool IsNode(const std::string& key) const { return nodes.count(key) != 0; }
  bool ValueAbove(const std::string& key) const {
    for (std::string up = Parent(key); !up.empty(); up = Parent(up)) {
      if (IsValue(up)) return true;
    }
    return false;
  }
  static std::string NotFound(const std::string& key) { return "4 key " + key + " not found"; }

  std::string Set(const std::string& key, const std::string& value) {
    if (value.size() > sm::kMaxValueSize) {
      return "7 value of " + key + " is larger than 1048576 bytes";
    }
    if (ValueAbove(key)) return "5 key " + key + ": a parent of it is a value, not a node";
    if (IsNode(key)) return "5 key " + key + ": is a node, not a value";
    for (std::string up = Parent(key); !up.empty(); up = Parent(up)) nodes.insert(up);
    values[key] = value;
    return "ok";
  }
  std::string Get(const std::string& key) const {
    if (IsValue(key)) return "ok " + Short(values.at(key));
    return IsNode(key) ? "5 key " + key + ": is a node, not a value" : NotFound(key);
  }
  std::string Delete(const std::string& key) {
    if (!IsValue(key) && !IsNode(key)) return NotFound(key);
    const auto gone = [&key](const std::string& at) { return at == key || Below(at, key); };
    for (auto at = values.begin(); at != values.end();) {
      at = gone(at->first) ? values.erase(at) : std::next(at);
    }
    for (auto at = nodes.begin(); at != nodes.end();) at = gone(*at) ? nodes.erase(at) : std::next(at);
    return "ok";
  }
  std::string List(const std::string& key) const {
    if (IsValue(key)) return "5 key " + key + ": is a value, not a node";
    if (!IsNode(key)) return NotFound(key);
    std::set<std::string> names;  // std::string orders bytes unsigned, as the store promises
    for (const auto& [value_key, value] : values) {
      if (Parent(value_key) == key) names.insert(value_key.substr(key.size() + 1));
    }
    for (const std::string& node : nodes) {
      if (Parent(node) == key) names.insert(node.substr(key.size() + 1));
    }
    std::string out = "ok kept";
    for (const std::string& name : names) out += " " + Short(name);
    return out;
  }
  // Copy is an export of `from` imported at `to`: refused whole (exit 2)
  // when the store holds the other kind where the document has a node or a
  // value, or a value above `to` where something is to be written.
  std::string Copy(const std::string& from, const std::string& to) {
    if (!IsValue(from) && !IsNode(from)) return "export 1";
    std::vector<std::pair<std::string, std::string>> writes;
    bool clash = IsValue(from) ? IsNode(to) : IsValue(to);
    for (const auto& [key, value] : values) {
      if (key != from && !Below(key, from)) continue;
      const std::string at = to + key.substr(from.size());
      clash = clash || IsNode(at);
      writes.emplace_back(at, value);
    }
    for (const std::string& node : nodes) {
      if (Below(node, from)) clash = clash || IsValue(to + node.substr(from.size()));
    }
    if (clash || (!writes.empty() && ValueAbove(to))) return "export 0 import 2";
    for (const auto& [key, value] : writes) Set(key, value);
    return "export 0 import 0";
  }
};

// Outcome renders a store call's result: "ok", or orverrno's code and text.
std::string Outcome(int result) {
  return result < 0 ? std::to_string(orverrno.code()) + " " + orverrno.message() : "ok";
}

// Quiet sends stderr (the tool's one-line messages) to /dev/null while it
// lives.
class Quiet {
 public:
  Quiet() : saved_(dup(2)) {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, 2);
    close(null);
  }
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;
  ~Quiet() {
    dup2(saved_, 2);
    close(saved_);
  }

 private:
  int saved_;
};

class StoreModelTest : public ::testing::Test {
 protected:
  std::string Run(const Step& step) {
    const std::string& key = step.key;
    switch (step.op) {
      case kSet:
        return Outcome(sm::setKey(key, kValues[step.value]));
      case kGet: {
        std::string value;
        const int length = sm::getKey(key, value);
        if (length >= 0 && length != static_cast<int>(value.size())) return "length differs";
        return length < 0 ? Outcome(length) : "ok " + Short(value);
      }
      case kDelete:
        return Outcome(sm::deleteKey(key));
      case kList: {
        Texts names = {"kept"};  // appended to, never cleared
        const int count = sm::enumSubkeys(key, names);
        if (count < 0) return Outcome(count) + (names.size() == 1 ? "" : " touched");
        std::string out = "ok";
        for (const std::string& name : names) out += " " + (out == "ok" ? name : Short(name));
        return count + 1 == static_cast<int>(names.size()) ? out : "count differs";
      }
      case kCopy:
        return Copy(key, step.to);
    }
    return "";
  }

  std::string Copy(const std::string& from, const std::string& to) {
    const Quiet quiet;
    const std::string document = store_.root() + ".json";
    std::FILE* out = std::fopen(document.c_str(), "w");
    const int exported = orv_tools::ExportTree(from, out);
    std::fclose(out);
    std::string result = "export " + std::to_string(exported);
    if (exported == 0) result += " import " + std::to_string(orv_tools::ImportFile(document, to));
    fs::remove(document);
    return result;
  }

  // OnDisk renders the root directory as Expected renders the model.
  Texts OnDisk() {
    Texts out;
    const std::string& root = store_.root();
    for (auto at = fs::recursive_directory_iterator(root); at != fs::end(at); ++at) {
      const std::string key = at->path().string().substr(root.size());
      struct stat info;
      lstat(at->path().c_str(), &info);
      if (key == "/.trash" && fs::is_empty(at->path())) {
        at.disable_recursion_pending();
      } else if (S_ISDIR(info.st_mode)) {
        out.push_back("node " + key);
      } else {
        std::ifstream file(at->path(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        out.push_back(key + " = " + Short(text.str()) + " mode " +
                      std::to_string(info.st_mode & 07777) + (S_ISREG(info.st_mode) ? "" : " odd"));
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  static Texts Expected(const Model& model) {
    Texts out;
    for (const std::string& node : model.nodes) out.push_back("node " + node);
    for (const auto& [key, value] : model.values) {
      out.push_back(key + " = " + Short(value) + " mode " + std::to_string(0644));
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  TempStore store_;
  LogCapture log_{0};
};

TEST_F(StoreModelTest, AnswersAndFilesAreTheModels) {
  CheckModel(60, 30, [this] {
    const auto steps = *rc::gen::container<std::vector<Step>>(GenStep());
    fs::remove_all(store_.root());
    fs::create_directory(store_.root());
    Model model;
    for (const Step& step : steps) {
      std::string want;
      switch (step.op) {
        case kSet: want = model.Set(step.key, kValues[step.value]); break;
        case kGet: want = model.Get(step.key); break;
        case kDelete: want = model.Delete(step.key); break;
        case kList: want = model.List(step.key); break;
        case kCopy: want = model.Copy(step.key, step.to); break;
      }
      RC_ASSERT(Run(step) == want);
      RC_ASSERT(OnDisk() == Expected(model));
    }
  });
}

// Found by the model: an export holding a NUL byte was refused by import.
TEST_F(StoreModelTest, AValueWithANulByteSurvivesExportThenImport) {
  ASSERT_EQ(sm::setKey("/d1/v", kValues[3]), 0);
  EXPECT_EQ(Copy("/d1", "/d2"), "export 0 import 0");
  EXPECT_EQ(Run(Step{kGet, "/d2/v", "", 0}), "ok " + Short(kValues[3]));
}

}  // namespace
