// orv/virazezazor_export.h: marks what the utility library exports.
//
// The library is built with hidden visibility; only declarations marked with
// VIRAZEZAZOR_EXPORT (and listed in its linker version script,
// virazezazor.map) are part of its binary interface. Its internals and the
// standard library's templates it instantiates stay inside it.

#ifndef ORV_VIRAZEZAZOR_EXPORT_H_
#define ORV_VIRAZEZAZOR_EXPORT_H_

#define VIRAZEZAZOR_EXPORT __attribute__((visibility("default")))

#endif  // ORV_VIRAZEZAZOR_EXPORT_H_
