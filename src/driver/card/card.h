// Card services: the callbacks the smart card library calls, and the card state the driver
// keeps up to date.
//
// Card presence. The reader reports insertion (0x10 0x85) and removal (0x10 0x86) through the
// receive worker, which calls CBUpdateCardState; start-up calls it once to read the presence
// bit of STC register 4; a power-down records "present" if a card is in. A change between "no
// card" (states 0 and 1) and "card" (2 and up) completes the library's pending tracking
// request, if any.
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

// Card power: MinorIoControlCode 0 powers the card down, 1 resets it cold, 2 warm (cold unless
// the card is powered). A reset returns the ATR to the caller's reply buffer, stores it in the
// card capabilities (up to 33 bytes), lets the library derive the card's parameters and brings
// the timing in line with them. Any other code is refused (STATUS_INVALID_DEVICE_REQUEST) after
// the ATR fields were cleared, with nothing sent to the reader.
NTSTATUS CBCardPower(PSMARTCARD_EXTENSION SmartcardExtension);

// Timing: the STC's guard time, waiting times and retries (CBSynchronizeSTC) and the driver's
// read waits and the port's time-outs (CBSynchronizeCOMM), from the card's parameters and the
// protocol in force. A reserved bit rate code (a 0 numerator) or a reserved clock rate code
// (F 0) would leave the elementary time unit undefined: such parameters are replaced by the
// defaults of ISO/IEC 7816-3 (F 372, D 1).
NTSTATUS CBSynchronizeSTC(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS CBSynchronizeCOMM(PSMARTCARD_EXTENSION SmartcardExtension);

// Protocol selection: negotiates T=0 or T=1 (T=1 preferred) and the card's parameters by a
// PTS exchange, with one fall-back to a cold reset and default parameters.
NTSTATUS CBSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);

// Transmission, by the protocol in force.
NTSTATUS CBTransmit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS CBRawTransmit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS CBT0Transmit(PSMARTCARD_EXTENSION SmartcardExtension);
// T=1: the library's blocks to the card and back until the request ends; STATUS_NO_MEDIA as
// soon as the reader has reported the card gone, even if another is in already (the card's
// state is no longer SCARD_SPECIFIC): no block goes out after that.
NTSTATUS CBT1Transmit(PSMARTCARD_EXTENSION SmartcardExtension);
// The T=0 procedure-byte dialogue for one command. The reply never outgrows ReplyLength's
// entry value; a card that sends data bytes when none are expected ends the exchange with
// STATUS_DEVICE_PROTOCOL_ERROR, and one that sends nothing but NULL bytes for too long
// (T0_MAXIMUM_NULL_BYTES in a row) with STATUS_IO_TIMEOUT.
NTSTATUS T0_ExchangeData(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Request,
                         ULONG RequestLength, PUCHAR Reply, PULONG ReplyLength);
inline constexpr ULONG T0_MAXIMUM_NULL_BYTES = 1000;
