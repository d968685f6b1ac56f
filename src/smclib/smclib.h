// The smart card library's per-reader record, SMARTCARD_EXTENSION, and its constants.
//
// A reader driver embeds one SMARTCARD_EXTENSION at the start of its device extension, fills
// in the reader's attributes, capabilities and callbacks, and registers it with the library.
// The library then serves the PC/SC control requests of applications for that reader, calling
// the driver's callbacks (ReaderFunction) for everything that touches the reader.
//
// One request at a time. SmartcardDeviceControl (device_control.cc) runs on the caller's
// thread. Requests to one reader are served one at a time: each waits for the reader's turn
// (OsData->RequestTurn, a synchronization event that is signalled while no request is served),
// is served with OsData->CurrentIrp set and its callbacks called, records a failure in
// LastError, and hands the turn on. The driver's callbacks therefore never run twice at once
// for one reader, and the request and reply buffers are the served request's alone. Tracking
// requests (is-present, is-absent) do not take the turn: under OsData->SpinLock they test the
// card's state, park as OsData->NotificationIrp (one per reader) and call the driver's tracking
// callback, and stay pending until the driver completes them on a change of the card's
// presence or they are cancelled; meanwhile other requests are served.
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

// PtsData.Type: how protocol selection proposes transmission parameters.
inline constexpr UCHAR PTS_TYPE_DEFAULT = 0;  // default parameters (Fd, Dd); no retry
inline constexpr UCHAR PTS_TYPE_OPTIMAL = 1;  // the best the card and the reader both allow
inline constexpr UCHAR PTS_TYPE_USER = 2;

// T=1 states (T1.State, T1.OriginalState). An S-block being sent is coded by its PCB.
inline constexpr ULONG T1_INIT = 0;
inline constexpr ULONG T1_START = 1;
inline constexpr ULONG T1_I_BLOCK = 2;
inline constexpr ULONG T1_R_BLOCK = 3;
inline constexpr ULONG T1_RESTART = 4;
inline constexpr ULONG T1_RESYNCH_REQUEST = 0xC0;
inline constexpr ULONG T1_IFS_REQUEST = 0xC1;
inline constexpr ULONG T1_ABORT_REQUEST = 0xC2;
inline constexpr ULONG T1_WTX_REQUEST = 0xC3;
inline constexpr ULONG T1_RESYNCH_RESPONSE = 0xE0;
inline constexpr ULONG T1_IFS_RESPONSE = 0xE1;
inline constexpr ULONG T1_ABORT_RESPONSE = 0xE2;
inline constexpr ULONG T1_WTX_RESPONSE = 0xE3;

// Error detection codes of T=1 (CardCapabilities.T1.EDC, bit 0 of TC3).
inline constexpr UCHAR T1_EDC_LRC = 0;
inline constexpr UCHAR T1_EDC_CRC = 1;

struct T1_DATA {
  UCHAR NAD;
  ULONG State;          // what the block being sent is: T1_I_BLOCK, T1_R_BLOCK or an S-block's PCB
  ULONG OriginalState;  // the state the exchange in progress began in
  UCHAR Wtx;            // shared word: waiting time extension the card asked for, 0 for none
  // The library's own state of the block protocol (t1.cc). SmartcardUpdateCardCapabilities
  // resets it for each new card.
  UCHAR IFSC;                   // the card's information field size
  UCHAR IFSD;                   // the reader's, announced to the card
  BOOLEAN IfsdAnnounced;        // S(IFS request) answered since the last reset
  UCHAR SSN;                    // send-sequence number of the next I-block to send
  UCHAR RSN;                    // send-sequence number expected in the card's next I-block
  UCHAR Retries;                // error recoveries in a row for the current block
  UCHAR Resynchs;               // S(RESYNCH request) blocks sent for the current request
  ULONG Turns;                  // blocks sent for the current request
  ULONG BytesSent;              // of the application's command, acknowledged by the card
  ULONG BytesReceived;          // of the card's response, gathered in the application's buffer
  UCHAR LastSent[3 + 254 + 2];  // the block to send next, then the last one sent
  ULONG LastSentLength;
  BOOLEAN MoreData;     // the card is chaining its response
  UCHAR Phase;          // what the exchange in progress waits for; 0 between requests
  ULONG CommandOffset;  // the application's command in IoRequest.RequestBuffer
  ULONG CommandLength;
  ULONG ChunkLength;    // information field length of the last I-block built
  BOOLEAN Silent;       // nothing but silence came since the last good block
  BOOLEAN NeedResynch;  // the last exchange broke off: resynchronise before the next request
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

// Parses the ATR in CardCapabilities.ATR (ISO/IEC 7816-3) and derives the card's parameters:
// Fl, Dl, N, the protocols it supports, specific mode, T=0's WI, T=1's IFSC, CWI, BWI and
// error detection code, the historical bytes, and PtsData, chosen from what the card offers
// and what the reader's clock and data rates allow. A malformed, truncated or reserved ATR
// gives a failure status; nothing is read past the ATR's length. In specific mode the card's
// protocol is selected (Protocol.Selected) and no protocol selection is needed.
[[nodiscard]] NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

// The parts of an ATR, as SmartcardUpdateCardCapabilities walks it: for showing to people.
struct ATR_INTERFACE_ENTRY {
  UCHAR Group;  // i of TAi, TBi, TCi, TDi
  UCHAR Kind;   // 0 TA, 1 TB, 2 TC, 3 TD
  UCHAR Value;
};
struct ATR_STRUCTURE {
  UCHAR T0;
  ATR_INTERFACE_ENTRY Interface[MAXIMUM_ATR_LENGTH];
  ULONG InterfaceCount;
  ULONG HistoricalOffset;
  ULONG HistoricalLength;
  BOOLEAN HasTck;
  UCHAR Tck;
};
// Splits an ATR into its parts, as far as it goes; the status of its structure (as
// SmartcardUpdateCardCapabilities would give for it).
NTSTATUS SmartcardSplitAtr(const UCHAR* Atr, ULONG Length, ATR_STRUCTURE* Structure);

// T=0: builds the command header and data in SmartcardRequest from the application's request
// (IoRequest.RequestBuffer: SCARD_IO_REQUEST header, then a short APDU of case 1 to 4), and
// sets T0.Lc and T0.Le.
[[nodiscard]] NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
// T=0: moves the card's answer (SmartcardReply: data, SW1 SW2) to the application's reply
// buffer behind an SCARD_IO_REQUEST header, its length checked.
[[nodiscard]] NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);

// T=1: builds the next block to send in SmartcardRequest. The driver zeroes the first word of
// IoRequest.ReplyBuffer once before the first turn of each request; while an exchange is in
// progress the library keeps that word at SCARD_PROTOCOL_T1, so a zero word marks a new
// request even after one that the driver broke off (t1.cc tells the whole protocol).
[[nodiscard]] NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
// T=1: checks the block received in SmartcardReply (empty when none came) and decides:
// STATUS_MORE_PROCESSING_REQUIRED while the exchange goes on, STATUS_SUCCESS with the response
// in the application's reply buffer, or a failure (STATUS_IO_TIMEOUT when the card stays
// silent through every retry).
[[nodiscard]] NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);
