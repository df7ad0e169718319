// orv/devmgmt_export.h: marks what the device library exports.
//
// The library is built with hidden visibility; only declarations marked with
// ORVDEVMGMT_EXPORT (and listed in its linker version script) are part of its
// binary interface.

#ifndef ORV_DEVMGMT_EXPORT_H_
#define ORV_DEVMGMT_EXPORT_H_

#define ORVDEVMGMT_EXPORT __attribute__((visibility("default")))

#endif  // ORV_DEVMGMT_EXPORT_H_
