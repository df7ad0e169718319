// The store's watch against a reader of it: random runs of writes, deletions
// (of nodes whose names prefix others' too), re-creations, values and whole
// subtrees moved within the watched node, into it and out of it (as another
// tool would), and the watched node itself deleted, read at random points. At
// each read every key whose value changed since the last read is reported
// (itself, or a node above it), only keys at or below the watched one are,
// and a reader that re-reads each reported key (and the whole tree when the
// watch was lost) holds the tree.

#include <stdio.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "orv/error.h"
#include "orv/settings.h"
#include "support/log_capture.h"
#include "support/model.h"
#include "support/temp_store.h"

namespace {

namespace sm = orv::setMgmt;
using Tree = std::map<std::string, std::string>;  // value key -> text

const char* const kNames[] = {"d1", "d10", "d1x"};

enum Op { kSet, kDelete, kMove, kMoveIn, kMoveOut, kDeleteWatched, kRead };
struct Step {
  Op op;
  std::string key, to;
  int value;
};
void showValue(const Step& s, std::ostream& out) {
  static const char* const kOps[] = {"set", "del", "move", "move-in", "move-out", "del-/w", "read"};
  out << kOps[s.op] << " " << s.key << " " << s.to << " " << s.value;
}

rc::Gen<std::string> GenKey() {
  return rc::gen::apply(
      [](int depth, int a, int b, int c) {
        std::string key = "/w";
        for (int piece : {a, b, c}) key += depth-- > 0 ? std::string("/") + kNames[piece] : "";
        return key;
      },
      rc::gen::weightedElement<int>({{1, 1}, {3, 2}, {1, 3}}), AnyOf(3), AnyOf(3), AnyOf(3));
}

bool AtOrBelow(const std::string& key, const std::string& node) {
  return key.compare(0, node.size(), node) == 0 &&
         (key.size() == node.size() || key[node.size()] == '/');
}

// Read adds the values at or below `key` in the store to `tree`.
void Read(const std::string& key, Tree& tree) {
  std::vector<std::string> names;
  if (sm::getKey(key, tree[key]) >= 0) return;
  tree.erase(key);
  sm::enumSubkeys(key, names);
  for (const std::string& name : names) Read(key + "/" + name, tree);
}
Tree StoreTree() {
  Tree tree;
  Read("/w", tree);
  return tree;
}

std::vector<std::string> g_reports;
int Report(const orv::path& key) {
  g_reports.push_back(key.str());
  return 1;
}

class WatchModelTest : public ::testing::Test {
 protected:
  std::string File(const std::string& key) const { return store_.root() + key; }
  static bool IsNode(const std::string& key) {
    orv::storage::NodeInfo info;
    return sm::statKey(key, info) == 0 && info.kind == orv::storage::NodeInfo::kNode;
  }
  static bool Absent(const std::string& key) {
    orv::storage::NodeInfo info;
    return sm::statKey(key, info) < 0 && orverrno.code() == sm::kNotFound;
  }
  static std::string Parent(const std::string& key) { return key.substr(0, key.rfind('/')); }
  // Moving `from` to `to` with rename(2), as another tool would.
  void Move(const std::string& from, const std::string& to) {
    RC_ASSERT(rename(File(from).c_str(), File(to).c_str()) == 0);
  }

  void Make(const Step& s) {
    const std::string value = "v" + std::to_string(s.value);
    const bool room = Absent(s.to) && IsNode(Parent(s.to));
    switch (s.op) {
      case kSet:  // may meet the other kind: then nothing changes
        sm::setKey(s.key, value);
        return;
      case kDelete:
        sm::deleteKey(s.key);
        return;
      case kMove:  // a value or a node
        if (!Absent(s.key) && room && !AtOrBelow(s.to, s.key)) Move(s.key, s.to);
        return;
      case kMoveIn:  // a subtree made outside
        if (!room) return;
        sm::deleteKey("/o");
        RC_ASSERT(sm::setKey("/o/n/d1", value) == 0 && sm::setKey("/o/n/d10/d1x", value) == 0);
        return Move("/o/n", s.to);
      case kMoveOut:
        if (Absent(s.key)) return;
        sm::deleteKey("/o");
        RC_ASSERT(sm::setKey("/o/keep", "") == 0);
        return Move(s.key, "/o/out");
      case kDeleteWatched:
        sm::deleteKey("/w");
        return;
      case kRead:
        return ReadReports();
    }
  }

  // ReadReports does what a client of the watch does: reads the tree anew
  // when the watch is lost or (re)gained, else applies each reported key.
  void ReadReports() {
    if (watch_.get_fd() < 1) {
      lost_ = true;
      reader_ = StoreTree();
    } else {
      if (lost_) reader_ = StoreTree();
      g_reports.clear();
      RC_ASSERT(watch_.read_notifications() >= 0);
      for (const std::string& key : g_reports) {
        RC_ASSERT(AtOrBelow(key, "/w"));
        for (auto at = reader_.begin(); at != reader_.end();) {
          at = AtOrBelow(at->first, key) ? reader_.erase(at) : std::next(at);
        }
        Read(key, reader_);
      }
      if (watch_.get_fd() < 1) {  // lost meanwhile: what it read may be partial
        reader_ = StoreTree();
        lost_ = true;
      } else if (!std::exchange(lost_, false)) {
        RC_ASSERT(Unreported() == std::vector<std::string>());
      }
    }
    last_ = StoreTree();
    RC_ASSERT(reader_ == last_);
  }

  // Unreported lists the keys whose value changed since the last read and
  // that were reported neither themselves nor by a node above them.
  std::vector<std::string> Unreported() const {
    Tree changed;
    const Tree now = StoreTree();
    std::set_symmetric_difference(last_.begin(), last_.end(), now.begin(), now.end(),
                                  std::inserter(changed, changed.end()));
    std::vector<std::string> out;
    for (const auto& entry : changed) {
      if (std::none_of(g_reports.begin(), g_reports.end(),
                       [&](const std::string& key) { return AtOrBelow(entry.first, key); })) {
        out.push_back(entry.first);
      }
    }
    return out;
  }

  TempStore store_;
  LogCapture log_{-1};
  sm::MonitoredKey watch_;
  Tree reader_, last_;
  bool lost_ = false;
};

TEST_F(WatchModelTest, AReaderOfTheReportsHoldsTheTree) {
  CheckModel(300, 40, [this] {
    const auto before = *rc::gen::container<std::vector<std::string>>(GenKey());
    const auto steps = *rc::gen::container<std::vector<Step>>(
        rc::gen::construct<Step>(rc::gen::weightedElement<Op>({{8, kSet},
                                                               {3, kDelete},
                                                               {2, kMove},
                                                               {1, kMoveIn},
                                                               {1, kMoveOut},
                                                               {1, kDeleteWatched},
                                                               {4, kRead}}),
                                 GenKey(), GenKey(), AnyOf(3)));
    watch_.cancel();
    sm::deleteKey("/w");
    for (const std::string& key : before) sm::setKey(key, "v");
    watch_.key = orv::path().add_piece(true, "/w");
    watch_.recursive = true;
    watch_.callback = Report;
    lost_ = true;
    ReadReports();
    for (const Step& step : steps) Make(step);
    ReadReports();
    ReadReports();  // a watch lost at the end is set up again by now
  });
}

}  // namespace
