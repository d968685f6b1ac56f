// The reader's command protocol and the faults it produces on demand, as scripts: what the host
// writes (or the console command given), and the bytes the reader sends back, escaped, as on
// the wire.
#include <gtest/gtest.h>

#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

struct Script {
  const char* name;
  const char* steps;
  const char* card = "t0";  // in the reader at the start, unreported; nullptr: none
  std::uint8_t firmware = 0x21;
};

// Each fault lasts as long as asked; the last reset of each script shows the reader itself again.
const Script kScripts[] = {
    {"RegistersReadBackTheirLowByte",
     "85 80 25 00 > 90, C5 > 80, 86 11 22 33 > 90, C6 > 11, 82 4F > 90, C2 > 4F, 81 05 > 90, "
     "C1 > 05, 88 AA > 90, C8 > AA"},
    {"AnEscapeByteIsDoubled", "C0 > 10 10", "t0", 0x10},
    {"FramesSplitOrMergedAreAnsweredInOrder", "85, 01, 02, 03 C5 C0 82 6F C2 > 90 01 21 90 6F"},
    // The rest of a bad frame's write is thrown away.
    {"BadFramesGetAnErrorAndTheNextWriteStartsAfresh",
     "C9 > 84, 89 00 > 84, 00 C0 > 84, 59 83 1D > 84, C3 > 00"},
    {"ResetRelaysTheAtrThenEndOfBlock",
     "83 1D > 90, insert t0 > 10 85, 83 1D > 90 3B 02 14 50 10 83, 83 00 > 90", nullptr},
    {"ReportsCardInsertionAndRemoval",
     "C4 > 00, insert t0 > 10 85, C4 > 01, insert t1 > 10 86 10 85, remove > 10 86, C4 > 00",
     nullptr},
    {"PowerOffSilencesTheCard",
     "83 1D > 90 3B 02 14 50 10 83, 84 00 > 90, 45 00 A4 00 00 02 > 90, C4 > 01"},
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
  SimHost host(ReaderOptions{.firmware = GetParam().firmware});
  if (GetParam().card != nullptr) host.sim().InsertCard(GetParam().card, false);
  for (const auto& [action, wire] : Steps(GetParam().steps)) {
    SCOPED_TRACE(action);
    EXPECT_EQ(Command(host.sim(), action) ? host.Wire() : host.Wire(action), wire);
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, ReaderScript, ::testing::ValuesIn(kScripts),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tolvex::sim::testing
