// Card services: the callbacks the smart card library calls, and the card state the driver
// keeps up to date.
//
// Card presence. The reader reports insertion (0x10 0x85) and removal (0x10 0x86) through the
// receive worker, which calls CBUpdateCardState; start-up calls it once to read the presence
// bit of STC register 4; a power-down records "present". A change between "no card" (states 0
// and 1) and "card" (2 and up) completes the library's pending tracking request, if any.
//
// The tracking request. The library parks an application's "tell me when the card comes or
// goes" request in OsData->NotificationIrp and calls CBCardTracking, which gives it the cancel
// routine DrvCancel. Exactly one party completes it: whoever exchanges its cancel routine for
// null first. CBUpdateCardState does so under the OsData spin lock (then the cancel spin lock,
// always in that order); a cancellation's exchange happens in IoCancelIrp, and DrvCancel then
// completes the request after taking the OsData spin lock to clear the pointer, so a request is
// never touched after the other party completed it.
#pragma once

#include "smclib/smclib.h"

// Records the card state; NewState 0 reads the presence from the reader.
void CBUpdateCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG NewState);
// Makes the library's tracking request cancelable; it stays pending.
NTSTATUS CBCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
// Cancel routine of the tracking request.
NTSTATUS DrvCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
