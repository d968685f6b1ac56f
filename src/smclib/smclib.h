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

struct READER_EXTENSION;  // the driver's own record, opaque to the library
using PREADER_EXTENSION = READER_EXTENSION*;

// Card states (ReaderCapabilities.CurrentState).
inline constexpr ULONG SCARD_UNKNOWN = 0;
inline constexpr ULONG SCARD_ABSENT = 1;
inline constexpr ULONG SCARD_PRESENT = 2;
inline constexpr ULONG SCARD_SWALLOWED = 3;
inline constexpr ULONG SCARD_POWERED = 4;
inline constexpr ULONG SCARD_NEGOTIABLE = 5;
inline constexpr ULONG SCARD_SPECIFIC = 6;

// Protocols.
inline constexpr ULONG SCARD_PROTOCOL_UNDEFINED = 0x00000000;
inline constexpr ULONG SCARD_PROTOCOL_T0 = 0x00000001;
inline constexpr ULONG SCARD_PROTOCOL_T1 = 0x00000002;
inline constexpr ULONG SCARD_PROTOCOL_RAW = 0x00010000;

// Power request codes (MinorIoControlCode of a power request).
inline constexpr ULONG SCARD_POWER_DOWN = 0;
inline constexpr ULONG SCARD_COLD_RESET = 1;
inline constexpr ULONG SCARD_WARM_RESET = 2;

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
  PDEVICE_OBJECT DeviceObject;
  PIRP CurrentIrp;
  PIRP NotificationIrp;  // the pending card tracking request, guarded by SpinLock
  KSPIN_LOCK SpinLock;
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
