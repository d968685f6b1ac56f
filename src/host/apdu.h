// APDUs for people and for applications: what a status word means (ISO/IEC 7816-4), response
// data as a hex dump with its printable characters, and the T=0 exchanges an application
// expects done for it.
//
// Under T=0 a card does not send its response data after a command that carried data: it
// answers 61 xx ("xx bytes still available") and the host fetches them with GET RESPONSE
// (00 C0 00 00 xx), again while the card answers 61 xx. A command whose Le the card does not
// like gets 6C xx ("wrong Le: xx available") and is sent again with Le = xx. PC/SC
// applications expect this done for them; Transceive does it, each exchange kept so that it
// can be shown, and gives the data gathered and the last status word. A card that answers
// 61 xx or 6C xx without end is stopped after kMaxAutomaticExchanges automatic commands.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "host/status.h"

namespace tolvex::host {

// Whether a command APDU is of extended length (ISO/IEC 7816-4): a 00 where a short Lc would
// be, then Lc and/or Le in two bytes each (cases 2E, 3E, 4E). A short APDU, and bytes that are
// no APDU of either kind, are not.
bool IsExtendedApdu(std::span<const std::uint8_t> apdu);

// The room an APDU's response can need: 256 data bytes and SW1 SW2 for a short one, 65,536 and
// SW1 SW2 for an extended one.
inline constexpr std::size_t kShortResponseRoom = 258;
inline constexpr std::size_t kExtendedResponseRoom = 65538;
// The longest command APDU: CLA INS P1 P2, 00 Lc Lc, 65,535 data bytes, Le Le.
inline constexpr std::size_t kMaxExtendedCommand = 65544;
std::size_t ResponseRoom(std::span<const std::uint8_t> apdu);

// What SW1 SW2 means, in the words of ISO/IEC 7816-4: "normal processing", "18 bytes still
// available", "security status not satisfied", ...; the group's meaning for the ones without
// a text of their own ("error: wrong P1-P2 (6B01)"), and "not an ISO/IEC 7816-4 status word"
// outside the groups 61..6F and 90.
std::string StatusWordMeaning(std::uint8_t sw1, std::uint8_t sw2);

// Bytes as lines of a hex dump, 16 a line: "0010  6F 10 84 ... 90  o...", the offset in hex,
// the bytes, and the printable ASCII characters (others as '.').
std::vector<std::string> HexDump(std::span<const std::uint8_t> bytes);
// The bytes as printable ASCII, others as '.': "T1".
std::string Printable(std::span<const std::uint8_t> bytes);

// One command sent and what came back.
struct ApduExchange {
  std::vector<std::uint8_t> command;
  Status status = status::kSuccess;    // the transmit's status
  std::vector<std::uint8_t> response;  // data, SW1 SW2 (none after a failure)
  bool automatic = false;              // sent for the application: GET RESPONSE, or Le fixed
  double ms = 0;                       // how long the exchange took
};

struct ApduResult {
  std::vector<ApduExchange> exchanges;  // in order; the first is the application's command
  Status status = status::kSuccess;     // the first failure; kDeviceProtocolError for an
                                        // answer without status word, or a card stopped
  bool runaway = false;                 // stopped after kMaxAutomaticExchanges
  std::vector<std::uint8_t> data;       // the response data of every exchange, joined
  std::uint8_t sw1 = 0, sw2 = 0;        // the last exchange's status word
};

// The automatic commands Transceive sends at most for one command (256 GET RESPONSEs of 256
// bytes: 64 KiB).
inline constexpr int kMaxAutomaticExchanges = 256;

// Sends one command with `transmit` and, when `automatic` (T=0), the GET RESPONSE and Le
// corrections the card asks for. The GET RESPONSE's class is the command's when it is an
// interindustry class (logical channel and secure messaging bits kept), 00 for a proprietary
// one. A 6C xx is followed only for a command without data (case 1 or 2), sent again with
// P3 = xx.
using Transmitter = std::function<Result<std::vector<std::uint8_t>>(std::span<const std::uint8_t>)>;
ApduResult Transceive(const Transmitter& transmit, std::span<const std::uint8_t> command,
                      bool automatic);

}  // namespace tolvex::host
