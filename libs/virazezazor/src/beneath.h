// Reaching the files of keys below the store's root without following a
// symbolic link in any piece.

#ifndef ORV_VIRAZEZAZOR_SRC_BENEATH_H_
#define ORV_VIRAZEZAZOR_SRC_BENEATH_H_

#include <string>

namespace orv {
namespace setMgmt {
namespace internal {

// OpenBeneath opens the file of the checked key `key` ("/" is the root
// itself) below the root directory `root_fd` with the open flags `flags`
// (O_NOFOLLOW and O_CLOEXEC added). No piece may be a symbolic link: with
// O_PATH the last one opens as the link itself (fstat tells), else a link
// fails with ELOOP (or ENOTDIR). Returns the descriptor or -1 with errno set.
int OpenBeneath(int root_fd, const std::string& key, int flags);

// Why a key can't be reached, as Diagnose finds it.
enum class Fault {
  kNone,     // reachable (the failure was a race, or something else)
  kMissing,  // a piece is not there
  kLink,     // a piece is a symbolic link
  kValue,    // a piece before the last is not a directory
};

struct Diagnosis {
  Fault fault = Fault::kNone;
  std::string at;  // the key of the piece at fault
};

// Diagnose walks `key` below `root_fd` piece by piece to find out why it
// can't be reached. Meant for failures only: it costs a call per piece.
Diagnosis Diagnose(int root_fd, const std::string& key);

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_BENEATH_H_
