// The smart card library's per-reader record, SMARTCARD_EXTENSION, and its constants.
//
// A reader driver embeds one SMARTCARD_EXTENSION at the start of its device extension, fills
// in the reader's attributes, capabilities and callbacks, and registers it with the library.
// The library then serves the PC/SC control requests of applications for that reader, calling
// the driver's callbacks (ReaderFunction) for everything that touches the reader.
//
// Shared words. CurrentState is written under OsData->SpinLock and read without it; T1.Wtx is
// written by the library in the caller's thread and read by the driver's receive worker. Both
// are read and written whole (tolvex::platform::SharedLoad / SharedStore).
#pragma once

#include "platform/io.h"
#include "platform/ke.h"
#include "platform/winsmcrd.h"

struct READER_EXTENSION;  // the driver's own record, opaque to the library
using PREADER_EXTENSION = READER_EXTENSION*;

// Reader types.
inline constexpr ULONG SCARD_READER_TYPE_SERIAL = 0x01;

// Callback slots of ReaderFunction.
inline constexpr ULONG RDF_CARD_POWER = 0;
inline constexpr ULONG RDF_TRANSMIT = 1;
inline constexpr ULONG RDF_CARD_EJECT = 2;
inline constexpr ULONG RDF_READER_SWALLOW = 3;
inline constexpr ULONG RDF_CARD_TRACKING = 4;
inline constexpr ULONG RDF_SET_PROTOCOL = 5;
inline constexpr ULONG RDF_DEBUG_LEVEL = 6;
inline constexpr ULONG RDF_CARD_CONFISCATE = 7;
inline constexpr ULONG RDF_IOCTL_VENDOR = 8;
inline constexpr ULONG RDF_ATR_PARSE = 9;
inline constexpr ULONG RDF_MAXIMUM = 16;

// The library's interface version; a driver written for a later one is refused.
inline constexpr ULONG SMCLIB_VERSION = 0x150;
// Pool tag of the library's own memory.
inline constexpr ULONG SMCLIB_POOL_TAG = PoolTag("SmCl");

inline constexpr ULONG MAXIMUM_ATTR_STRING_LENGTH = 32;
inline constexpr ULONG MAXIMUM_ATR_LENGTH = 33;
inline constexpr ULONG ATR_BUFFER_SIZE = 64;

struct SMARTCARD_EXTENSION;
using PSMARTCARD_EXTENSION = SMARTCARD_EXTENSION*;
using PREADER_FUNCTION = NTSTATUS (*)(PSMARTCARD_EXTENSION SmartcardExtension);

struct ATTR_STRING {
  USHORT Length;
  UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
};

struct VENDOR_ATTR {
  ATTR_STRING VendorName;
  ATTR_STRING IfdType;
  ULONG UnitNo;
  struct {
    USHORT BuildNumber;
    UCHAR VersionMinor;
    UCHAR VersionMajor;
  } IfdVersion;
  ATTR_STRING IfdSerialNo;
};

struct FREQUENCY_RANGE {
  ULONG Default;
  ULONG Max;
};

struct READER_CAPABILITIES {
  ULONG SupportedProtocols;
  ULONG ReaderType;
  ULONG MechProperties;
  ULONG CurrentState;  // shared word
  ULONG Channel;
  FREQUENCY_RANGE CLKFrequency;  // kHz
  FREQUENCY_RANGE DataRate;      // bits per second
  ULONG MaxIFSD;
  ULONG PowerMgmtSupport;
  struct {
    PULONG List;
    UCHAR Entries;
  } DataRatesSupported, CLKFrequenciesSupported;
};

struct CLOCK_RATE_CONVERSION {
  ULONG F;
  ULONG fs;  // maximum clock frequency, Hz
};

struct BIT_RATE_ADJUSTMENT {
  ULONG DNumerator;
  ULONG DDivisor;
};

struct PTS_DATA {
  UCHAR Type;  // 0: default parameters; otherwise negotiate Fl/Dl
  UCHAR Fl;
  UCHAR Dl;
  ULONG CLKFrequency;
  ULONG DataRate;
  UCHAR StopBits;
};

struct SCARD_CARD_CAPABILITIES {
  BOOLEAN InversConvention;
  ULONG etu;
  struct {
    UCHAR Buffer[ATR_BUFFER_SIZE];
    UCHAR Length;
  } ATR;
  struct {
    UCHAR Buffer[16];
    UCHAR Length;
  } HistoricalChars;
  const CLOCK_RATE_CONVERSION* ClockRateConversion;  // 16 entries, indexed by Fl
  const BIT_RATE_ADJUSTMENT* BitRateAdjustment;      // 16 entries, indexed by Dl
  UCHAR Fl;
  UCHAR Dl;
  UCHAR II;
  UCHAR P;
  UCHAR N;
  ULONG GT;
  struct {
    ULONG Supported;
    ULONG Selected;
  } Protocol;
  struct {
    UCHAR WI;
    ULONG WT;
  } T0;
  struct {
    UCHAR IFSC;
    UCHAR CWI;
    UCHAR BWI;
    UCHAR EDC;
    ULONG CWT;
    ULONG BWT;
    ULONG BGT;
  } T1;
  PTS_DATA PtsData;
};

struct SMARTCARD_REQUEST {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
};
using SMARTCARD_REPLY = SMARTCARD_REQUEST;

struct T0_DATA {
  ULONG Lc;
  ULONG Le;
};

struct T1_DATA {
  UCHAR NAD;
  ULONG State;
  ULONG OriginalState;
  UCHAR Wtx;  // shared word: waiting time extension the card asked for, 0 for none
};

// Operating-system data of the library, created by SmartcardInitialize.
struct OS_DEP_DATA {
  PDEVICE_OBJECT DeviceObject;  // set by the driver once the reader is registered
  PIRP CurrentIrp;              // the request being served
  PIRP NotificationIrp;         // the pending card tracking request, guarded by SpinLock
  KSPIN_LOCK SpinLock;          // guards NotificationIrp and the writes of CurrentState
  KEVENT RequestTurn;           // one request at a time: signalled while none is served
};
using POS_DEP_DATA = OS_DEP_DATA*;

struct SMARTCARD_EXTENSION {
  ULONG Version;
  VENDOR_ATTR VendorAttr;
  PREADER_FUNCTION ReaderFunction[RDF_MAXIMUM];
  SCARD_CARD_CAPABILITIES CardCapabilities;
  ULONG LastError;
  struct {
    PUCHAR RequestBuffer;
    ULONG RequestBufferLength;
    PUCHAR ReplyBuffer;
    ULONG ReplyBufferLength;
    ULONG_PTR* Information;
  } IoRequest;
  ULONG MajorIoControlCode;
  ULONG MinorIoControlCode;
  POS_DEP_DATA OsData;
  READER_CAPABILITIES ReaderCapabilities;
  PREADER_EXTENSION ReaderExtension;
  SMARTCARD_REPLY SmartcardReply;
  SMARTCARD_REQUEST SmartcardRequest;
  T0_DATA T0;
  T1_DATA T1;
};

// Registers a reader: creates OsData and the request and reply buffers, of the sizes the
// driver set in SmartcardRequest.BufferSize and SmartcardReply.BufferSize.
[[nodiscard]] NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
// Creates a symbolic link "\DosDevices\SCReader<n>" (the lowest free n) to the reader device
// and fills LinkName with it. The library owns the name's storage and releases it in
// SmartcardExit.
[[nodiscard]] NTSTATUS SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName);
// Releases what SmartcardInitialize and SmartcardCreateLink took.
void SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
// Serves one control request of an application, calling the driver's callbacks, and completes
// it unless it stays pending (card tracking). Returns its status.
NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

// The clock rate conversion (Fi, fmax) and bit rate adjustment (Di) tables of ISO/IEC 7816-3,
// 16 entries each, indexed by the four-bit codes; reserved codes have 0 entries.
extern const CLOCK_RATE_CONVERSION ClockRateConversion[16];
extern const BIT_RATE_ADJUSTMENT BitRateAdjustment[16];
