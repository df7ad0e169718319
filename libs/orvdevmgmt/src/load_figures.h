// load_figures.h: what the last Devices::load found that its records don't
// show.

#ifndef ORVDEVMGMT_SRC_LOAD_FIGURES_H_
#define ORVDEVMGMT_SRC_LOAD_FIGURES_H_

#include <cstdint>

namespace orv {
namespace devmgmt_internal {

// last_load_unreadable_values returns how many values the last load (of any
// Devices, on any thread) found in the store but could not read: a link, a
// node or a special file where a value belongs, a value over the size cap, a
// failed read. Values that simply aren't there don't count. Those fields
// took their defaults. Thread-safe.
std::int64_t last_load_unreadable_values();

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_LOAD_FIGURES_H_
