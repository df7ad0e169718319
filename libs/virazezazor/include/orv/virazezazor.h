// orv/virazezazor.h: the gateway's utility library, host edition.
//
// One include for everything the device library uses of it: the text view,
// the memory stream, key paths, the logger, the per-thread error record and
// the settings store with its change notifications.

#ifndef ORV_VIRAZEZAZOR_H_
#define ORV_VIRAZEZAZOR_H_

#include "orv/error.h"
#include "orv/log.h"
#include "orv/memstream.h"
#include "orv/path.h"
#include "orv/settings.h"
#include "orv/string_view.h"

#endif  // ORV_VIRAZEZAZOR_H_
