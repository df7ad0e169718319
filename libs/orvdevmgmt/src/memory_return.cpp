#include "memory_return.h"

#include <cstdlib>  // the C library's own macros (__GLIBC__) come with it

// uClibc defines __GLIBC__ too, and has no malloc_trim.
#if defined(__GLIBC__) && !defined(__UCLIBC__)
#include <malloc.h>
#define ORV_HAVE_MALLOC_TRIM 1
#endif

namespace orv {
namespace devmgmt_internal {

void return_freed_memory() {
#ifdef ORV_HAVE_MALLOC_TRIM
  malloc_trim(0);
#endif
}

}  // namespace devmgmt_internal
}  // namespace orv
