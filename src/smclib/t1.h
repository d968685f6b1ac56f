// The library's own T=1 helpers, shared by the ATR parser and the block protocol engine.
#pragma once

#include "smclib/smclib.h"

// Forgets the T=1 state of the previous card: IFSC from CardCapabilities.T1.IFSC (32 when it
// is not a valid size), IFSD from ReaderCapabilities.MaxIFSD (254 when 0 or larger), IFSD not
// yet announced, both sequence numbers 0, no waiting time extension, no exchange in progress,
// State and OriginalState T1_INIT.
void SmartcardT1Reset(PSMARTCARD_EXTENSION SmartcardExtension);
