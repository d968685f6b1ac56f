// The wire model against figures worked out by hand, one row per workload.
//
// Units: a byte on the serial line (19200 baud, 10 bits) is 520833 ns, truncated as the
// simulator's LineTiming does (two bytes 1041666, three 1562500, six 3125000, ten 5208333).
// At F/D 372 an ETU is 103910.6 ns, 12 ETU 1246927 ns; at F/D 93 (TA1 13) 12 ETU are 311732 ns,
// 13 ETU 337709, 47 ETU 1220950 (each rounded to the nanosecond). A character to the card takes
// the guard time programmed (at least 12 ETU). The times are ms below.
//
// 1. T=0, 80 EE 00 00 (case 1, P3 = 0 added), answered 67 00; F/D 372, guard 0.
//    host frame 40|5 + 5 bytes: 6 B, in at 3.125000; the reader's 90 at 3.645833.
//    card: 5 characters of 12 ETU, 3.125000 + 5 x 1.246927 = 9.359635.
//    SW1 from the card at 10.606562, relayed by 11.127395; SW2 at 11.853489, by 12.374322.
//    Total 12.374322. Wires: host 6 B, reader 3 B (90, 67, 00), card 5 B in, 2 B out.
//    Phases: frames 3.645833 (to the 90); card in 9.359635 - 3.645833 = 5.713802; reply
//    12.374322 - 9.359635 = 3.014687.
// 2. T=0, 80 EE 00 00 02 AA BB (case 3), answered 61 02; F/D 93, guard 13 (13 ETU a character).
//    header frame 6 B in at 3.125000, 90 at 3.645833; card: 3.125000 + 5 x 0.337709 = 4.813545.
//    ACK (EE) at 5.125277, relayed by 5.646110: the host sends the data.
//    data frame 40|2 AA BB: 3 B, in at 7.208610, 90 at 7.729443; card: 7.208610 + 2 x 0.337709
//    = 7.884028. SW1 61 at 8.195760, by 8.716593; SW2 02 at 8.507492, but the line is busy
//    until 8.716593: by 9.237426.
//    Total 9.237426. Wires: host 9 B, reader 5 B, card 7 B in, 3 B out.
//    Phases: frames 3.645833 + (7.729443 - 5.646110) = 5.729166; card in (4.813545 - 3.645833)
//    + (7.884028 - 7.729443) = 1.322297; reply (5.646110 - 4.813545) + (9.237426 - 7.884028)
//    = 2.185963.
// 3. T=1, GET CHALLENGE 00 84 00 00 02, answered 10 42 90 00; F/D 93, guard 12 (12 ETU a
//    character), CWT 47 ETU, LRC, both sequence numbers 0.
//    host block 00 00 05 00 84 00 00 02 83 (9 B) in one frame of 10 B: in at 5.208333, 90 at
//    5.729166; card: 5.208333 + 9 x 0.311732 = 8.013921.
//    card block 00 00 04 10 42 90 00 C6: 8 characters, the first at 8.325653; from there the
//    serial line is the slower: 9 bytes relayed (10 doubled), by 8.325653 + 7 x 0.520833 +
//    1.041666 = 13.013150. The card's last character at 8.013921 + 8 x 0.311732 = 10.507777;
//    the end-of-block report ready 47 ETU later, 11.728727, but the line is busy until
//    13.013150: 10 83 by 14.054816, 1.041666 after the block's last byte.
//    Total 14.054816. Wires: host 10 B, reader 12 B (90, 9 relayed, 10 83), card 9 B in, 8 out.
//    Phases: frames 5.729166; card in 8.013921 - 5.729166 = 2.284755; reply 13.013150 -
//    8.013921 = 4.999229; end of block 1.041666.
// 4. As 1, with a card that answers 16 ETU (Clocks(5952) = 1.662570) after the last character
//    it took: SW1 at 12.269132, relayed by 12.789965; SW2 at 13.516059, by 14.036892.
//    Phases: as 1, with the turn-around 9.359635 to 11.022205 (1.662570) before the reply,
//    14.036892 - 11.022205 = 3.014687.
// The phases of each row sum to its total; the host's phase is none on the wires.
#include "bench/wire_model.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "sim/stream.h"
#include "sim/transcript.h"

namespace tolvex::bench {
namespace {

struct Row {
  const char* name;
  CardWire card;
  unsigned turnaround_etu;
  Bytes command;
  Bytes response;
  std::int64_t total_ns;
  // The phases: frames, card in, turn-around, reply, end of block.
  std::int64_t frames_ns, card_in_ns, turnaround_ns, reply_ns, block_end_ns;
  std::size_t host_to_reader, reader_to_host, to_card, from_card;
};

CardWire Card(unsigned clocks_per_etu, int protocol, unsigned guard, unsigned cwt_etu) {
  CardWire card;
  card.clocks_per_etu = clocks_per_etu;
  card.protocol = protocol;
  card.guard = guard;
  card.cwt_etu = cwt_etu;
  return card;
}

TEST(WireModel, MatchesFiguresWorkedOutByHand) {
  const Bytes echo_case1{0x80, 0xEE, 0x00, 0x00};
  // clang-format off
  const Row rows[] = {
      {"T=0 case 1", Card(372, 0, 0, 0), 0, echo_case1, {0x67, 0x00},
       12'374'322, 3'645'833, 5'713'802, 0, 3'014'687, 0, 6, 3, 5, 2},
      {"T=0 case 3", Card(93, 0, 13, 0), 0, {0x80, 0xEE, 0x00, 0x00, 0x02, 0xAA, 0xBB},
       {0x61, 0x02}, 9'237'426, 5'729'166, 1'322'297, 0, 2'185'963, 0, 9, 5, 7, 3},
      {"T=1 with an escaped byte", Card(93, 1, 12, 47), 0, {0x00, 0x84, 0x00, 0x00, 0x02},
       {0x10, 0x42, 0x90, 0x00}, 14'054'816, 5'729'166, 2'284'755, 0, 4'999'229, 1'041'666,
       10, 12, 9, 8},
      {"T=0 case 1, the card's turn-around", Card(372, 0, 0, 0), 16, echo_case1, {0x67, 0x00},
       14'036'892, 3'645'833, 5'713'802, 1'662'570, 3'014'687, 0, 6, 3, 5, 2},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Wires wires;
    wires.card = row.card;
    wires.timing.card_turnaround_etu = row.turnaround_etu;
    const WireTime time = ApduTime(wires, Apdu{row.command, row.response});
    // A nanosecond either way: the hand figures round each step as the code does.
    EXPECT_NEAR(static_cast<double>(time.total.count()), static_cast<double>(row.total_ns), 1);
    const std::pair<Nanos, std::int64_t> phases[] = {
        {time.phases.frames, row.frames_ns},         {time.phases.card_in, row.card_in_ns},
        {time.phases.turnaround, row.turnaround_ns}, {time.phases.reply, row.reply_ns},
        {time.phases.block_end, row.block_end_ns},   {time.phases.host, 0},
    };
    for (const auto& [got, want] : phases) {
      EXPECT_NEAR(static_cast<double>(got.count()), static_cast<double>(want), 2);
    }
    EXPECT_EQ(time.phases.Sum(), time.total);
    EXPECT_EQ(time.host_to_reader, row.host_to_reader);
    EXPECT_EQ(time.reader_to_host, row.reader_to_host);
    EXPECT_EQ(time.to_card, row.to_card);
    EXPECT_EQ(time.from_card, row.from_card);
  }
}

// The achieved phases read off a transcript, one row per APDU; the times (ms) as the paced
// simulator records them: a host frame when it was in the reader, an answer or a report when
// it was through the line, the card's characters when the first of them was.
// A. Row 1's APDU as the model has it, the call 0.1 ms longer than its wires: data 80 EE 00 00
//    00 in at 3.125000, 90 at 3.645833, 67 00 first through at 11.127395; the call 12.474322.
//    Phases as row 1, host 12.474322 - 12.374322 = 0.100000.
// B. Row 2's APDU with the host 0.2 ms late with its data: the ACK through at 5.646110, the
//    frame AA BB starts at 5.846110, in at 7.408610, 90 at 7.929443; the card has the data at
//    7.408610 + 2 x 0.337709 = 8.084028; SW1 at 8.395760, through at 8.916593; SW2 at 8.707492,
//    through at 9.437426. The call 9.500000.
//    Frames 3.645833 + (7.929443 - 5.846110) = 5.729166; card in 1.167712 + (8.084028 -
//    7.929443) = 1.322297; reply 0.832565 + (9.437426 - 8.084028) = 2.185963; host 0.200000
//    and 9.500000 - 9.437426 = 0.062574 after the last byte: 0.262574. One gap of 0.2.
// C. Row 3's T=1 APDU, the call as long as its wires: the block in at 5.208333, 90 at
//    5.729166, the card's block first through at 8.325653 + 0.520833 = 8.846486, 10 83 at
//    14.054816. Phases as row 3.
// D. A gap hidden behind the card: T=0 at F/D 372, guard 0; data AA BB (3 B) in at 1.562500,
//    90 at 2.083333; the card has them at 1.562500 + 2 x 1.246927 = 4.056354. The host starts
//    CC DD 0.3 ms after the 90, at 2.383333: in at 3.945833, 90 at 4.466666; the card still
//    takes AA BB until 4.056354, has CC DD at 6.550208 (as without the gap: 3.645833 in). 90 00
//    at 7.797135 and 9.044062, through at 8.317968 and 9.564895. The call 9.600000.
//    Frames 2.083333 + (4.466666 - 2.383333) = 4.166666; card in 0.300000 (the gap) + (6.550208
//    - 4.466666) = 2.383542; reply 9.564895 - 6.550208 = 3.014687; host 9.600000 - 9.564895 =
//    0.035105. One gap of 0.3, hidden.
// E. As A, the card's characters through 10 us later than the timing replayed: not matched;
//    the phases keep the replayed timing, the call's 10 us more go to the host (0.110000).
sim::TranscriptEntry At(sim::EntryKind kind, Bytes bytes, std::int64_t at_ns,
                        std::uint8_t code = 0) {
  sim::TranscriptEntry entry;
  entry.kind = kind;
  entry.bytes = std::move(bytes);
  entry.code = code;
  entry.at = Nanos(at_ns);
  return entry;
}
sim::TranscriptEntry Data(Bytes bytes, std::int64_t at_ns) {
  return At(sim::EntryKind::kWriteData, std::move(bytes), at_ns);
}
sim::TranscriptEntry Ok(std::int64_t at_ns) {
  return At(sim::EntryKind::kAnswer, {}, at_ns, 0x90);
}
sim::TranscriptEntry FromCard(Bytes bytes, std::int64_t at_ns) {
  return At(sim::EntryKind::kCardBytes, std::move(bytes), at_ns);
}

struct TranscriptRow {
  const char* name;
  CardWire card;
  std::vector<sim::TranscriptEntry> entries;
  std::int64_t wall_ns;
  // frames, card in, turn-around, reply, end of block, host; the gaps, the frames, matched.
  std::int64_t frames_ns, card_in_ns, turnaround_ns, reply_ns, block_end_ns, host_ns;
  std::int64_t gaps_ns;
  int frames;
  bool matched;
};

TEST(WireModel, ReadsThePhasesOffATranscript) {
  const Bytes case1{0x80, 0xEE, 0x00, 0x00, 0x00};
  const Bytes sw{0x67, 0x00};
  // clang-format off
  const TranscriptRow rows[] = {
      {"A: as the model", Card(372, 0, 0, 0),
       {Data(case1, 3'125'000), Ok(3'645'833), FromCard(sw, 11'127'395)}, 12'474'322,
       3'645'833, 5'713'802, 0, 3'014'687, 0, 100'000, 0, 1, true},
      {"B: the host late with its data", Card(93, 0, 13, 0),
       {Data({0x80, 0xEE, 0x00, 0x00, 0x02}, 3'125'000), Ok(3'645'833), FromCard({0xEE}, 5'646'110),
        Data({0xAA, 0xBB}, 7'408'610), Ok(7'929'443), FromCard({0x61, 0x02}, 8'916'593)},
       9'500'000, 5'729'166, 1'322'297, 0, 2'185'963, 0, 262'574, 200'000, 2, true},
      {"C: T=1, the end of block", Card(93, 1, 12, 47),
       {Data({0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x02, 0x83}, 5'208'333), Ok(5'729'166),
        FromCard({0x00, 0x00, 0x04, 0x10, 0x42, 0x90, 0x00, 0xC6}, 8'846'486),
        At(sim::EntryKind::kEvent, {}, 14'054'816, sim::kEventBlockEnd)},
       14'054'816, 5'729'166, 2'284'755, 0, 4'999'229, 1'041'666, 0, 0, 1, true},
      {"D: a gap hidden behind the card", Card(372, 0, 0, 0),
       {Data({0xAA, 0xBB}, 1'562'500), Ok(2'083'333), Data({0xCC, 0xDD}, 3'945'833),
        Ok(4'466'666), FromCard({0x90, 0x00}, 8'317'968)},
       9'600'000, 4'166'666, 2'383'542, 0, 3'014'687, 0, 35'105, 300'000, 2, true},
      {"E: not as the simulator times it", Card(372, 0, 0, 0),
       {Data(case1, 3'125'000), Ok(3'645'833), FromCard(sw, 11'137'395)}, 12'484'322,
       3'645'833, 5'713'802, 0, 3'014'687, 0, 110'000, 0, 1, false},
  };
  // clang-format on
  for (const TranscriptRow& row : rows) {
    SCOPED_TRACE(row.name);
    Wires wires;
    wires.card = row.card;
    const Achieved achieved =
        TranscriptPhases(sim::Transcript{row.entries, 0}, wires, Nanos(row.wall_ns));
    const std::pair<Nanos, std::int64_t> phases[] = {
        {achieved.phases.frames, row.frames_ns},
        {achieved.phases.card_in, row.card_in_ns},
        {achieved.phases.turnaround, row.turnaround_ns},
        {achieved.phases.reply, row.reply_ns},
        {achieved.phases.block_end, row.block_end_ns},
        {achieved.phases.host, row.host_ns},
        {achieved.gaps, row.gaps_ns},
    };
    for (const auto& [got, want] : phases) {
      EXPECT_NEAR(static_cast<double>(got.count()), static_cast<double>(want), 2);
    }
    EXPECT_EQ(achieved.phases.Sum(), Nanos(row.wall_ns));
    EXPECT_EQ(achieved.frames, row.frames);
    EXPECT_EQ(achieved.matched, row.matched);
  }
}

}  // namespace
}  // namespace tolvex::bench
