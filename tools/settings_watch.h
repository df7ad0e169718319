// settings_watch.h: orv-settings watch, the store's changes below a key as
// they happen.

#ifndef ORV_TOOLS_SETTINGS_WATCH_H_
#define ORV_TOOLS_SETTINGS_WATCH_H_

#include <string>

namespace orv_tools {

// WatchTree watches the tree at `key` and prints one line per changed key,
// saying what the key holds once the change is read, until SIGINT or
// SIGTERM (then it returns 0):
//   watching KEY           {"event":"watching","key":K}   the watch is set up
//   set KEY=VALUE          {"event":"set","key":K,"value":V}
//   node KEY               {"event":"node","key":K}       a node is there
//   deleted KEY            {"event":"deleted","key":K}    nothing is there
//   lost KEY: REASON       {"event":"lost","key":K,"reason":R}
// the second form with `json`. A key changed several times before it is read
// may show its last state several times. After "lost" (the node deleted, the
// kernel's queue overflowed) changes were missed; "watching" follows once the
// node can be watched again. While `key` does not exist nothing is printed;
// a bad key, a value or a node that can't be read is refused at once.
// Text is made printable as in show; JSON texts go as in get --json.
int WatchTree(const std::string& key, bool json);

}  // namespace orv_tools

#endif  // ORV_TOOLS_SETTINGS_WATCH_H_
