// The library's own T=1 helpers, shared by the ATR parser and the block protocol engine.
#pragma once

#include "smclib/smclib.h"

// Forgets the T=1 state of the previous card: IFSC from CardCapabilities.T1.IFSC (32 when it
// is not a valid size), IFSD from ReaderCapabilities.MaxIFSD (254 when 0 or larger), IFSD not
// yet announced, both sequence numbers 0, no waiting time extension, no exchange in progress,
// State and OriginalState T1_INIT.
void SmartcardT1Reset(PSMARTCARD_EXTENSION SmartcardExtension);

namespace tolvex::smclib::t1 {

// The error detection code of the card's T=1 blocks (CardCapabilities.T1.EDC): its length,
// 1 (LRC) or 2 (CRC).
ULONG EdcLength(const PSMARTCARD_EXTENSION extension);
// Writes the EDC of block[0..length) behind it; returns the whole block's length.
ULONG PutEdc(const PSMARTCARD_EXTENSION extension, UCHAR* block, ULONG length);
// Whether a whole block, its EDC included, checks out.
bool EdcGood(const PSMARTCARD_EXTENSION extension, const UCHAR* block, ULONG length);

}  // namespace tolvex::smclib::t1
