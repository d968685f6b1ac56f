// The reader's command protocol and the faults it produces on demand, as scripts: what the host
// writes (or the console command given), and the bytes the reader sends back, escaped, as on
// the wire. Then the card models through the reader, as dialogues after a reset: what the host
// sends the card and what the card says back, un-escaped, "|" marking the reader's end-of-block
// report. T=1 blocks are written whole, with their EDC.
#include <gtest/gtest.h>

#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

struct Script {
  const char* name;
  const char* steps;  // with a T=0 card in the reader at the start, unreported
};

// Each fault lasts as long as asked; the last reset of each script shows the reader itself again.
const Script kScripts[] = {
    {"FramesSplitOrMergedAreAnsweredInOrder", "85, 01, 02, 03 C5 C0 82 6F C2 > 90 01 21 90 6F"},
    {"NegativeAnswerOrSilenceForTheNextCommandOnly",  // the command is not carried out
     "negative 85, 82 4F > 85, C2 > 00, silence, 82 4F, C2 > 00, 83 1D > 90 3B 02 14 50 10 83"},
    {"DamagesTheKthCardByteFromNow",
     "damage 3, 83 1D > 90 3B 02 10 88 50 10 83, 83 1D > 90 3B 02 14 50 10 83"},
    {"ShortAtr", "short-atr, 83 1D > 90 3B 02 10 83, 83 1D > 90 3B 02 14 50 10 83"},
    {"UntilCleared",
     "no-block-end always, 83 1D > 90 3B 02 14 50, 83 1D > 90 3B 02 14 50, clear, "
     "83 1D > 90 3B 02 14 50 10 83"},
    // A mute card answers commands no more than resets.
    {"MuteForTwoResets",
     "mute 2, 83 1D > 90, 45 00 84 00 00 08 > 90, 83 1D > 90, 83 1D > 90 3B 02 14 50 10 83"},
};

class ReaderScript : public ::testing::TestWithParam<Script> {};

TEST_P(ReaderScript, AnswersAsTheScriptSays) {
  SimHost host;
  host.sim().InsertCard("t0", false);
  for (const auto& [action, wire] : Steps(GetParam().steps)) {
    SCOPED_TRACE(action);
    EXPECT_EQ(Command(host.sim(), action) ? host.Wire() : host.Wire(action), wire);
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, ReaderScript, ::testing::ValuesIn(kScripts),
                         [](const auto& param) { return std::string(param.param.name); });

struct Dialogue {
  const char* model;
  const char* name;
  const char* steps;
  unsigned clocks_per_etu = 372;  // in force at the end
};

const Dialogue kDialogues[] = {
    // The models' ATRs, protocols and retransmissions are the card tests' and tolvex-stress's
    // through the driver; here the answers to bad blocks, to a resynch, and a refused PTS.
    {"t1-crc", "T1CrcCardAsksAgainForABlockWithABadCrc",
     "00 00 0C 00 A4 04 00 07 F0 54 4F 4C 56 45 58 EF 5B > 00 00 02 90 00 92 63 |, "
     "00 40 05 00 84 00 00 08 78 83 > 00 91 00 49 C6 |"},
    {"t1", "T1InvalidBlocksGetRBlocks",  // bad LRC, N(S) out of turn, unasked response, LEN FF
     "00 00 05 00 84 00 00 08 76 > 00 81 00 81 |, 00 40 05 00 84 00 00 08 C9 > 00 82 00 82 |, "
     "00 E3 01 01 E3 > 00 82 00 82 |, 00 00 FF 01 02 > 00 82 00 82 |"},
    {"t1", "T1ResynchResetsSequenceNumbers",
     "00 00 05 00 84 00 00 08 89 > 00 00 0A 70 42 B7 98 88 FE 3A 85 90 00 4E |, "
     "00 C0 00 C0 > 00 E0 00 E0 |, "
     "00 00 05 00 84 00 00 08 89 > 00 00 0A 37 49 D8 F0 58 9D B0 9A 90 00 23 |"},
    // A block the host broke off is dropped once its next byte is long overdue: the resynch
    // that follows is a block of its own.
    {"t1", "T1DropsABlockWhoseRestComesTooLate",
     "00 00 05 00 84, pause 250, 00 C0 00 C0 > 00 E0 00 E0 |"},
    // PTS right after the ATR, refused once (tolvex-sim's pts-refuse), then the card's new clock.
    {"dual", "PtsRefusedOnceThenAcceptedAfterTheNextReset",
     "pts-refuse once, reset > 3B 92 13 80 31 20 45 44 55 44 |, FF 11 13 FD > FF 01 FE |, "
     "reset > 3B 92 13 80 31 20 45 44 55 44 |, FF 11 13 FD > FF 11 13 FD |",
     93},
};

class Cards : public ::testing::TestWithParam<Dialogue> {};

TEST_P(Cards, AnswerAsACardDoes) {
  const Dialogue& d = GetParam();
  SimHost host;
  ASSERT_TRUE(host.sim().InsertCard(d.model, false));
  host.ToCard("reset");
  for (const auto& [action, said] : Steps(d.steps)) {
    SCOPED_TRACE(action);
    if (action == "reset" || !Command(host.sim(), action)) {
      EXPECT_EQ(host.ToCard(action), said);
    }
  }
  host.sim().WithCard([&](Card& card) { EXPECT_EQ(card.clocks_per_etu(), d.clocks_per_etu); });
}

INSTANTIATE_TEST_SUITE_P(Dialogues, Cards, ::testing::ValuesIn(kDialogues),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tolvex::sim::testing
