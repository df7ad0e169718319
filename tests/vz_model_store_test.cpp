// The store against a model of it: random runs of set, get, delete, list and
// copies through orv-settings' export and import, over names that prefix each
// other (d1, d10, d1x) or need escaping as one name, nested nodes, values at
// the size cap and texts with odd bytes. After every step the store answers
// as the model does (results, codes, texts, listings appended, sorted and
// escaped) and its directory holds exactly the model's tree: a directory per
// node, a file of mode 0644 per value, nothing hidden left behind.

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "orv/error.h"
#include "orv/settings.h"
#include "settings_tree.h"
#include "support/log_capture.h"
#include "support/model.h"
#include "support/temp_store.h"
#include "support/unprivileged.h"

namespace {

namespace fs = std::filesystem;
namespace sm = orv::setMgmt;
using Texts = std::vector<std::string>;
using std::string_literals::operator""s;

const std::string kCap(sm::kMaxValueSize, 'c');
// By index: plain, empty, not UTF-8, control bytes and NUL, at the cap, over it.
const Texts kValues = {"v",  "",        "\xc3\x28\xff", "line\n\0\x1b[2J"s, "\xc3\xa9t\xc3\xa9",
                       kCap, kCap + "!"};
// Names as a client has them, each escaped as one name by the key's path.
const Texts kNames = {"d1", "d10", "d1x", "a/b", ".dot", "n\0ul"s, "%2F", "m\xff"};
// Keys refused whatever the call, touching nothing.
const Texts kBadKeys = {"relative", "",     "/a/../b", "//",
                        "/.hid",    "/d1/", "/d1\0x"s, "/" + std::string(300, 'p')};

enum Op { kSet, kGet, kDelete, kList, kCopy };
struct Step {
  Op op;
  std::string key, to;  // kCopy imports the export of `key` at `to`
  int value;
};

// Short renders a text for a report: long ones by size and hash.
std::string Short(const std::string& text) {
  if (text.size() <= 40) return "\"" + text + "\"";
  return std::to_string(text.size()) + " bytes #" + std::to_string(std::hash<std::string>()(text));
}
void showValue(const Step& s, std::ostream& out) {
  out << "set get del ls copy"s.substr(s.op * 4, 4) << Short(s.key) << " " << Short(s.to) << " "
      << Short(kValues[s.value]);
}

rc::Gen<std::string> GenKey() {
  return rc::gen::apply(
      [](int depth, int a, int b, int c) {
        if (depth == 0) return kBadKeys[a];
        orv::path key;
        for (int piece : std::vector<int>{a, b, c}) {
          if (depth-- > 0) key.add_piece(false, kNames[piece]);
        }
        return key.str();
      },
      rc::gen::weightedElement<int>({{1, 0}, {4, 1}, {4, 2}, {4, 3}}), AnyOf(8), AnyOf(8),
      AnyOf(8));
}

std::string Parent(const std::string& key) { return key.substr(0, key.rfind('/')); }
bool AtOrBelow(const std::string& key, const std::string& node) {
  return key.compare(0, node.size(), node) == 0 &&
         (key.size() == node.size() || key[node.size()] == '/');
}
std::string NotFound(const std::string& key) { return "4 key " + key + " not found"; }

// Model is the tree as the store promises it: values by key, and the nodes.
struct Model {
  std::map<std::string, std::string> values;
  std::set<std::string> nodes;

  bool ValueAbove(std::string key) const {
    while (!(key = Parent(key)).empty()) {
      if (values.count(key)) return true;
    }
    return false;
  }
  std::string Set(const std::string& key, const std::string& value) {
    if (value.size() > sm::kMaxValueSize) {
      return "7 value of " + key + " is larger than 1048576 bytes";
    }
    if (ValueAbove(key)) return "5 key " + key + ": a parent of it is a value, not a node";
    if (nodes.count(key)) return "5 key " + key + ": is a node, not a value";
    for (std::string up = Parent(key); !up.empty(); up = Parent(up)) nodes.insert(up);
    values[key] = value;
    return "ok";
  }
  std::string Get(const std::string& key) const {
    if (values.count(key)) return "ok " + Short(values.at(key));
    return nodes.count(key) ? "5 key " + key + ": is a node, not a value" : NotFound(key);
  }
  std::string Delete(const std::string& key) {
    if (!values.count(key) && !nodes.count(key)) return NotFound(key);
    for (auto at = values.begin(); at != values.end();) {
      at = AtOrBelow(at->first, key) ? values.erase(at) : std::next(at);
    }
    for (auto at = nodes.begin(); at != nodes.end();) {
      at = AtOrBelow(*at, key) ? nodes.erase(at) : std::next(at);
    }
    return "ok";
  }
  std::string List(const std::string& key) const {
    if (values.count(key)) return "5 key " + key + ": is a value, not a node";
    if (!nodes.count(key)) return NotFound(key);
    std::set<std::string> names;  // std::string orders bytes unsigned, as the store promises
    for (const auto& entry : values) {
      if (Parent(entry.first) == key) names.insert(entry.first.substr(key.size() + 1));
    }
    for (const std::string& node : nodes) {
      if (Parent(node) == key) names.insert(node.substr(key.size() + 1));
    }
    std::string out = "ok kept";
    for (const std::string& name : names) out += " " + Short(name);
    return out;
  }
  // Copy is an export of `from` imported at `to`: refused whole (exit 2)
  // where the store has the other kind than the document, or a value above
  // `to` when something is to be written.
  std::string Copy(const std::string& from, const std::string& to) {
    if (!values.count(from) && !nodes.count(from)) return "export 1";
    if (std::count(kBadKeys.begin(), kBadKeys.end(), to)) return "export 0 import 2";
    std::map<std::string, std::string> writes;
    bool clash = values.count(from) ? nodes.count(to) : values.count(to);
    for (const auto& [key, value] : values) {
      if (AtOrBelow(key, from)) writes[to + key.substr(from.size())] = value;
    }
    for (const auto& write : writes) clash = clash || nodes.count(write.first);
    for (const std::string& node : nodes) {
      if (AtOrBelow(node, from)) clash = clash || values.count(to + node.substr(from.size()));
    }
    if (clash || (!writes.empty() && ValueAbove(to))) return "export 0 import 2";
    for (const auto& [key, value] : writes) Set(key, value);
    return "export 0 import 0";
  }
  std::string Run(const Step& s) {
    const bool bad = std::count(kBadKeys.begin(), kBadKeys.end(), s.key);
    if (bad) return s.op == kCopy ? "export 2" : "bad key";
    const std::string want[] = {
        s.op == kSet ? Set(s.key, kValues[s.value]) : "", s.op == kGet ? Get(s.key) : "",
        s.op == kDelete ? Delete(s.key) : "", s.op == kList ? List(s.key) : "",
        s.op == kCopy ? Copy(s.key, s.to) : ""};
    return want[s.op];
  }
};

class StoreModelTest : public ::testing::Test {
 protected:
  // Run gives the answer, a refusal of a bad key as "bad key" when it names
  // the key as given (a NUL as "\0").
  std::string Run(const Step& s) {
    const std::string answer = Answer(s),
                      shown = std::regex_replace(s.key, std::regex("\0"s), "\\0");
    return answer.rfind("2 bad key \"" + shown + "\": ", 0) == 0 ? "bad key" : answer;
  }
  std::string Answer(const Step& s) {
    std::string value;
    Texts names = {"kept"};  // appended to, never cleared
    int result = 0;
    switch (s.op) {
      case kSet:
        return Error(sm::setKey(s.key, kValues[s.value]));
      case kGet:
        result = sm::getKey(s.key, value);
        if (result >= 0 && result != static_cast<int>(value.size())) return "length differs";
        return result < 0 ? Error(result) + (value.empty() ? "" : " touched")
                          : "ok " + Short(value);
      case kDelete:
        return Error(sm::deleteKey(s.key));
      case kList:
        result = sm::enumSubkeys(s.key, names);
        if (result < 0) return Error(result) + (names.size() == 1 ? "" : " touched");
        value = "ok";
        for (const std::string& name : names) value += " " + (value == "ok" ? name : Short(name));
        return result + 1 == static_cast<int>(names.size()) ? value : "count differs";
      case kCopy:
        return Copy(s.key, s.to);
    }
    return "";
  }
  std::string Copy(const std::string& from, const std::string& to) {
    const std::string document = store_.root() + ".json";
    std::FILE* out = std::fopen(document.c_str(), "w");
    const int exported = orv_tools::ExportTree(from, out);
    std::fclose(out);
    std::string result = "export " + std::to_string(exported);
    if (exported == 0) result += " import " + std::to_string(orv_tools::ImportFile(document, to));
    fs::remove(document);
    return result;
  }

  // OnDisk renders the root directory (an empty trash left out) as Expected
  // renders the model.
  Texts OnDisk() const {
    Texts out;
    const std::string& root = store_.root();
    for (auto at = fs::recursive_directory_iterator(root); at != fs::end(at); ++at) {
      const std::string key = at->path().string().substr(root.size());
      struct stat info;
      lstat(at->path().c_str(), &info);
      std::ostringstream text;
      text << std::ifstream(at->path(), std::ios::binary).rdbuf();
      // statKey tells what the file system does: the kind, a value's size, the
      // time of the last change to the nanosecond.
      orv::storage::NodeInfo told;
      const bool stat_agrees =
          sm::statKey(key, told) == 0 && (told.kind == told.kNode) == S_ISDIR(info.st_mode) &&
          told.size == (S_ISDIR(info.st_mode) ? 0 : info.st_size) &&
          told.mtime_ns == info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
      if (key != "/.trash" || !fs::is_empty(at->path())) {
        out.push_back((S_ISDIR(info.st_mode) ? "node " + key
                                             : key + " = " + Short(text.str()) + " mode " +
                                                   std::to_string(info.st_mode & 07777) +
                                                   (S_ISREG(info.st_mode) ? "" : " odd")) +
                      (stat_agrees ? "" : " stat differs"));
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
  CheckModel(120, 40, [this] {
    const auto steps = *rc::gen::container<std::vector<Step>>(rc::gen::construct<Step>(
        rc::gen::weightedElement<Op>({{6, kSet}, {2, kGet}, {2, kDelete}, {2, kList}, {1, kCopy}}),
        GenKey(), GenKey(),
        rc::gen::weightedElement<int>({{8, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}, {1, 5}, {1, 6}})));
    fs::remove_all(store_.root());
    fs::create_directory(store_.root());
    Model model;
    for (const Step& step : steps) {
      RC_ASSERT(Run(step) == model.Run(step));
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

// A store made by its first set, its nodes and values are readable by every
// user (so a client of another user reads them); a node private to its owner
// refuses others with the system's reason.
TEST_F(StoreModelTest, AnotherUserReadsValuesButNotAPrivateNode) {
  fs::remove(store_.root());
  umask(022);
  ASSERT_EQ(sm::setKey("/d1/v", "1") + sm::setKey("/private/v", "2"), 0);
  ASSERT_EQ(chmod((store_.root() + "/private").c_str(), 0700), 0);
  AsAnotherUser([] {
    std::string value;
    if (sm::getKey("/d1/v", value) != 1) return 1;
    if (Error(sm::getKey("/private/v", value)) != "3 read key /private/v: Permission denied") {
      return 2;
    }
    return Error(sm::setKey("/d1/w", "x")).rfind("3 ", 0) == 0 ? 0 : 3;
  });
}

}  // namespace
