// memory_return.h: handing memory the process freed back to the system.

#ifndef ORVDEVMGMT_SRC_MEMORY_RETURN_H_
#define ORVDEVMGMT_SRC_MEMORY_RETURN_H_

namespace orv {
namespace devmgmt_internal {

// return_freed_memory gives the pages that freed heap memory occupies back
// to the system, where the C library offers a way (glibc's malloc_trim); a
// no-op elsewhere (uClibc, musl). Called after a reload: the records of the
// cache it replaced were freed, and the allocator would otherwise keep their
// pages for good (a reload of 100,000 devices leaves some 170 MB). Costs a
// walk of the heap: not for hot paths.
void return_freed_memory();

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_MEMORY_RETURN_H_
