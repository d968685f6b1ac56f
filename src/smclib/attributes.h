// Reader and card attributes, by their PC/SC tags.
#pragma once

#include "smclib/smclib.h"

// Writes attribute `tag` to `buffer` (room `size` bytes) and its length to `written`.
// STATUS_BUFFER_TOO_SMALL when it does not fit; STATUS_NOT_SUPPORTED for an unknown tag.
NTSTATUS SmartcardGetAttribute(PSMARTCARD_EXTENSION SmartcardExtension, ULONG tag, PUCHAR buffer,
                               ULONG size, ULONG* written);
// No attribute of a reader is settable by an application: STATUS_NOT_SUPPORTED.
NTSTATUS SmartcardSetAttribute(PSMARTCARD_EXTENSION SmartcardExtension, ULONG tag);
