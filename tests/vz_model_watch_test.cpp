// The store's watch against a reader of it: random runs of writes, deletions
// (of nodes whose names prefix others' too), re-creations, whole subtrees
// moved within the watched node, into it and out of it, and the watched node
// itself deleted, read at random points. At each read every key whose value
// changed since the last read is reported (itself, or a node above it), only
// keys at or below the watched one are, and a reader that re-reads each
// reported key (and the whole tree when the watch was lost) holds the tree.

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

void showValue(const Step& step, std::ostream& out) {
  static const char* const kOps[] = {"set", "del", "move", "move-in", "move-out", "del-/w", "read"};
  out << kOps[step.op] << " " << step.key << " " << step.to << " " << step.value;
}

rc::Gen<std::string> GenKey() {
  return rc::gen::apply(
      [](int depth, int a, int b, int c) {
        const int pieces[] = {a, b, c};
        std::string key = "/w";
        for (int i = 0; i < depth; ++i) key += std::string("/") + kNames[pieces[i]];
        return key;
      },
      rc::gen::weightedElement<int>({{1, 1}, {3, 2}, {1, 3}}), rc::gen::inRange(0, 3),
      rc::gen::inRange(0, 3),
      rc::gen::inRange(0, 3));
}

rc::Gen<Step> GenStep() {
  return rc::gen::construct<Step>(rc::gen::weightedElement<Op>({{8, kSet},
                                                                {3, kDelete},
                                                                {2, kMove},
                                                                {1, kMoveIn},
                                                                {1, kMoveOut},
                                                                {1, kDeleteWatched},
                                                                {4, kRead}}),
                                  GenKey(), GenKey(), rc::gen::inRange(0, 3));
}

bool AtOrBelow(const std::string& key, const std::string& node) {
  return key.compare(0, node.size(), node) == 0 &&
         (key.size() == node.size() || key[node.size()] == '/');
}

// Read adds the values at or below `key` in the store to `tree`.
void Read(const std::string& key, Tree& tree) {
  std::string value;
  if (sm::getKey(key, value) >= 0) {
    tree[key] = value;
    return;
  }
  std::vector<std::string> names;
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
  bool IsNode(const std::string& key) const {
    orv::storage::NodeInfo info;
    return sm::statKey(key, info) == 0 && info.kind == orv::storage::NodeInfo::kNode;
  }
  bool Absent(const std::string& key) const {
    orv::storage::NodeInfo info;
    return sm::statKey(key, info) < 0 && orverrno.code() == sm::kNotFound;
  }
  std::string Parent(const std::string& key) const { return key.substr(0, key.rfind('/')); }

  void Make(const Step& step) {
    const std::string value = "v" + std::to_string(step.value);
    switch (step.op) {
      case kSet:
        sm::setKey(step.key, value);  // may meet the other kind: then nothing changes
        return;
      case kDelete:
        sm::deleteKey(step.key);
        return;
      case kMove:  // a whole node renamed within the watched one
        if (IsNode(step.key) && Absent(step.to) && IsNode(Parent(step.to)) &&
            !AtOrBelow(step.to, step.key)) {
          RC_ASSERT(rename(File(step.key).c_str(), File(step.to).c_str()) == 0);
        }
        return;
      case kMoveIn:  // a subtree made outside, then moved in
        if (Absent(step.to) && IsNode(Parent(step.to))) {
          sm::deleteKey("/o");
          RC_ASSERT(sm::setKey("/o/n/d1", value) == 0);
          RC_ASSERT(sm::setKey("/o/n/d10/d1x", value) == 0);
          RC_ASSERT(rename(File("/o/n").c_str(), File(step.to).c_str()) == 0);
        }
        return;
      case kMoveOut:
        if (IsNode(step.key)) {
          sm::deleteKey("/o");
          RC_ASSERT(sm::setKey("/o/keep", "") == 0);
          RC_ASSERT(rename(File(step.key).c_str(), File("/o/out").c_str()) == 0);
        }
        return;
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

  // Unreported lists the keys whose value changed since the last read that
  // were reported neither themselves nor by a node above them.
  std::vector<std::string> Unreported() const {
    Tree changed;
    const Tree now = StoreTree();
    for (const auto& entry : last_) {
      if (!now.count(entry.first) || now.at(entry.first) != entry.second) changed.insert(entry);
    }
    for (const auto& entry : now) {
      if (!last_.count(entry.first) || last_.at(entry.first) != entry.second) changed.insert(entry);
    }
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
  CheckModel(80, 30, [this] {
    const auto before = *rc::gen::container<std::vector<Step>>(rc::gen::construct<Step>(
        rc::gen::just(kSet), GenKey(), rc::gen::just(std::string()), rc::gen::inRange(0, 3)));
    const auto steps = *rc::gen::container<std::vector<Step>>(GenStep());
    watch_.cancel();
    sm::deleteKey("/w");
    for (const Step& step : before) Make(step);
    watch_.key = orv::path().add_piece(true, "/w");
    watch_.recursive = true;
    watch_.callback = Report;
    reader_.clear();
    lost_ = true;
    ReadReports();
    for (const Step& step : steps) Make(step);
    ReadReports();
    ReadReports();  // a watch lost at the end is set up again by now
  });
}

}  // namespace
