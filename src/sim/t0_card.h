// The T=0 card: the card's side of the procedure-byte dialogue.
//
// The host sends a five-byte header CLA INS P1 P2 P3. The card knows from CLA and INS which
// way the data goes (Application::DirectionOf); an unknown class or instruction is answered
// with its status bytes at once.
//   Data to the card (P3 = Lc): the card answers a procedure byte: ACK (= INS), after which
//   the host sends all the remaining data, or the complement of INS, after which it sends one
//   byte and waits for the next procedure byte. With everything in, the card answers SW1 SW2,
//   or 61xx when the command has data to give back, which the host fetches with GET RESPONSE
//   (00 C0 00 00 xx).
//   Data from the card (P3 = Le, 00 = 256): the card sends ACK and all the data, or the
//   complement of INS and one byte at a time, then SW1 SW2. A wrong Le gets 6Cxx (xx: the
//   length the card has) and nothing else; the host repeats the command with P3 = xx.
// NULL bytes (60) may come before the first procedure byte after a header and before the
// status bytes after incoming data. The card's turn ends with SW1 SW2 only: after ACK, the
// complement of INS or NULL the host has the turn, or the card carries on.
#pragma once

#include <memory>

#include "sim/iso_card.h"

namespace tolvex::sim {

struct T0Options {
  // NULL bytes before each procedure byte that answers a header, and before the status bytes
  // that end incoming data.
  int nulls = 0;
  // The first n data bytes of each command go one at a time (complement of INS), in either
  // direction, the rest after ACK; -1: all of them.
  int bytewise = 0;
};

struct T0CardOptions {
  T0Options t0;
  Bytes atr = {0x3B, 0x02, 0x14, 0x50};  // T=0 only, no interface bytes, 2 historical bytes
  PtsPolicy pts = PtsPolicy::kAccept;
  std::uint32_t seed = 0x5EED;
  std::string model = "t0";
};

std::unique_ptr<ProtocolEngine> MakeT0Engine(T0Options options);
std::unique_ptr<Card> MakeT0Card(T0CardOptions options = {});

}  // namespace tolvex::sim
