// How long each Reader call of the soak may take, by kind and protocol, derived from the
// driver's waits, time-outs and retry counts for the simulator's cards. A call past its bound
// is a deviation.
#pragma once

#include <chrono>
#include <cstdint>

namespace tolvex::stress {

enum class Call : std::uint8_t { kPower, kPowerDown, kProtocol, kTransmit, kState, kWait };
inline constexpr int kAnyProtocol = 2;  // the protocol column of the calls that have none

// By Call's order.
inline constexpr const char* kCallNames[] = {"power up (reset)", "power down", "protocol selection",
                                             "transmit",         "state",      "wait for card"};
inline const char* CallName(Call call) {
  return kCallNames[static_cast<int>(call)];
}

inline const char* ProtocolName(int protocol) {
  return protocol == 0 ? "T=0" : protocol == 1 ? "T=1" : "-";
}

namespace bounds {

// All in milliseconds.
//
// Read deadlines. IFRead waits at most ReadIntervalTimeout x count + ReadTotalTimeout
// (receive.cc), and only when what it waits for never comes and nothing ends it early: the
// reader's bytes satisfy it, its end-of-block report (83) or error (84) ends it at once, and a
// line quiet for the port's own read time-out ends the read that waited all along. A fault
// that loses bytes or a report (silence, a stray escape eating a report, the card pulled out)
// is what makes a read wait out its deadline. CBSynchronizeCOMM sets the two time-outs from
// the card (3.58 MHz clock; +30 % and +50 / +100 ms margins):
//  - T=0, WI 10 at 372 clocks per ETU (and the dual card at 93 x D 4 after its PTS: the same):
//    waiting time 10 x 960 x 372 / 3580 = 997 -> interval 1346, total 1396. The same formula
//    holds between a reset and protocol selection (no protocol selected yet).
//  - T=1, CWI 5, BWI 4: character waiting time (2^5 + 11) x 372 / 3580 = 4 -> interval 55;
//    block waiting time (357120 x 2^4 + 11 x 372) / 3580 = 1597 -> total 2176.
//  - The ATR (card_reset.cc): TS within 120; every later read 1200 x count + 1200.
constexpr std::int64_t Read(std::int64_t interval, std::int64_t total, std::int64_t count) {
  return interval * count + total;
}
constexpr std::int64_t kT0Interval = 1346, kT0Total = 1396;
constexpr std::int64_t kT1Interval = 55, kT1Total = 2176;
// An exchange with the reader (one frame out, its one-byte answer back) at line speed: 19200
// baud carries a 25-byte frame and its answer in 15 ms; the simulator's jitter adds at most
// 20 ms (an end-of-block report held back); the rest is margin for a loaded 2-core machine.
constexpr std::int64_t kExchange = 60;
constexpr std::int64_t kPowerOffPause = 200;  // STCPowerOff, after its register write
constexpr std::int64_t kRecoveryPause = 254;  // t1.cc, after a damaged or missing block
// One silenced command: its answer read runs out (the worst timing in force: T=0's).
constexpr std::int64_t kSilentAnswer = Read(kT0Interval, kT0Total, 1);  // 2742

// Power down: one register write, then the 200 ms pause.
constexpr std::int64_t kPowerDown = kExchange + kSilentAnswer + kPowerOffPause;  // 3002
// Power up (cold or warm reset, STCReset): a pass is STCInitUART (7 exchanges), for a cold
// reset STCPowerOff (1 and 200 ms), the reset command (1); a cold reset whose ATR came damaged
// is repeated warm (2 passes); a failed one ends with STCPowerOff; then CBSynchronizeSTC
// (8 exchanges) and a 5 ms pause. The ATR: TS in 120, each group and the historical bytes
// come whole or end on the reader's report; at worst (a report lost) one read of 15
// historical bytes runs out its 1200 x 16.
constexpr std::int64_t kPower = 26 * kExchange + 3 * kPowerOffPause + 5 + 2 * 120 +
                                Read(1200, 1200, 15) + kSilentAnswer;  // 24347
// Protocol selection (protocol.cc): PTS out (1 data frame), its echo read as 3 + 1 bytes at
// T=0's timing; not confirmed: a cold reset and the PTS again; failing again: power down.
// Then CBSynchronizeSTC (8 exchanges) and the port's time-outs (1 request).
constexpr std::int64_t kPts = kExchange + Read(kT0Interval, kT0Total, 3) + kExchange;
constexpr std::int64_t kProtocol = 2 * kPts + kPower + kPowerDown + 9 * kExchange;  // 38997
// T=1 transmit (t1.cc): the largest APDU (261 bytes out, 258 back) at IFSC 16 and the card's
// 32-byte blocks is at most 17 I-blocks out and 9 in with their R-blocks, the IFSD
// announcement and a resynchronisation: 30 blocks of up to 2 frames. A fault spoils at most
// one block (line noise: up to 3 stray bytes, so 3 blocks); each retry of it (at most 3, then
// 3 resynchronisations) is one more block. A spoiled block waits at worst its prologue read
// (3 bytes), the rest of a block of LEN 254 (256 bytes with the CRC), the end-of-block report
// (interval) and the recovery pause. A failure ends with the recovery pause and a power-down.
constexpr std::int64_t kT1SpoiledBlock = Read(kT1Interval, kT1Total, 3) +
                                         Read(kT1Interval, kT1Total, 256) + kT1Interval +
                                         kRecoveryPause;  // 18906
constexpr std::int64_t kT1Transmit = (30 + 7) * 2 * kExchange + 3 * kT1SpoiledBlock +
                                     kSilentAnswer + kRecoveryPause + kPowerDown;  // 67156
// T=0 transmit (t0.cc): a byte-wise card (t0-bytewise) takes the 255 bytes of a command one
// frame and one procedure byte at a time (2 x 255 + 5 exchanges); a silenced command's answer
// or procedure byte runs out once, and the failure ends in a power-down. The final read of
// Le + 2 bytes would wait out Read(kT0Interval, kT0Total, 258) = 348664 (nearly 6 minutes)
// for a card pulled out in the middle of it; the reader's removal report ends it instead
// (receive.cc), so it is not in this bound.
constexpr std::int64_t kT0Transmit = 515 * kExchange + 2 * kSilentAnswer + kPowerDown;  // 39386
// State: the driver answers from its records. Wait for card: the soak waits at most 10 s.
constexpr std::int64_t kState = 1000;
constexpr std::int64_t kWait = 10000 + 1000;

}  // namespace bounds

struct CallBound {
  Call call;
  int protocol;  // 0 T=0, 1 T=1, kAnyProtocol
  std::chrono::milliseconds bound;
};

// One row per kind of call and protocol.
inline constexpr CallBound kCallBounds[] = {
    {Call::kPower, 0, std::chrono::milliseconds(bounds::kPower)},
    {Call::kPower, 1, std::chrono::milliseconds(bounds::kPower)},
    {Call::kPowerDown, 0, std::chrono::milliseconds(bounds::kPowerDown)},
    {Call::kPowerDown, 1, std::chrono::milliseconds(bounds::kPowerDown)},
    {Call::kProtocol, 0, std::chrono::milliseconds(bounds::kProtocol)},
    {Call::kProtocol, 1, std::chrono::milliseconds(bounds::kProtocol)},
    {Call::kTransmit, 0, std::chrono::milliseconds(bounds::kT0Transmit)},
    {Call::kTransmit, 1, std::chrono::milliseconds(bounds::kT1Transmit)},
    {Call::kState, kAnyProtocol, std::chrono::milliseconds(bounds::kState)},
    {Call::kWait, kAnyProtocol, std::chrono::milliseconds(bounds::kWait)},
};

inline std::chrono::milliseconds BoundOf(Call call, int protocol) {
  for (const CallBound& row : kCallBounds) {
    if (row.call == call && row.protocol == protocol) return row.bound;
  }
  return std::chrono::milliseconds(0);
}

}  // namespace tolvex::stress
