// pcsc-lite's handler interface: its types, tags and return codes, and the ten entry points
// this library exports (declared here with C linkage; the header itself declares them without).
#pragma once

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

// The poll and stop functions pcscd asks for with TAG_IFD_POLLING_THREAD_WITH_TIMEOUT and
// TAG_IFD_STOP_POLLING_THREAD.
extern "C" RESPONSECODE TolvexWaitForCardEvent(DWORD Lun, int timeout);
extern "C" RESPONSECODE TolvexStopCardEvent(DWORD Lun);

namespace tolvex::ifd {

// The reader's vendor request for its versions (8 bytes), as the driver knows it, and as a
// pcsc-lite application writes it (SCARD_CTL_CODE of the same function number).
inline constexpr DWORD kGetVersions = 0x00312004;
inline constexpr DWORD kGetVersionsPcscLite = SCARD_CTL_CODE(2049);

}  // namespace tolvex::ifd
