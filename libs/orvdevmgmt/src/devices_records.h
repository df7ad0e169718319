// devices_records.h: finding or creating a device record when the creation
// runs subscriber callbacks.

#ifndef ORVDEVMGMT_SRC_DEVICES_RECORDS_H_
#define ORVDEVMGMT_SRC_DEVICES_RECORDS_H_

#include <string>

#include "orv/devmgmt_internals.h"

namespace orv {
namespace devmgmt_internal {

// find_or_create returns the record of `device_id`, creating it and
// announcing it (NEW_DEV) when the cache doesn't hold it. The NEW_DEV
// callbacks may change the cache at will, so the record is looked up again
// after them: null when they removed the device (or emptied the cache). A
// caller given null drops its change.
// The caller holds cache.mutex; `device_id` does not point into the cache
// (the callbacks could free it): on the creating path, pass a copy.
orv::devMgmt::Device* find_or_create(Devices& cache, const std::string& device_id)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
    __attribute__((requires_capability(cache.mutex)))
#endif
    ;

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_DEVICES_RECORDS_H_
