// The controller: a refused register write, the retries register, and card reset with the reading
// of the Answer To Reset (the waits for each part, where it ends, its interface bytes, the repeat
// after a damaged character, what a failure leaves behind). On the wire, 83 1D is the reset
// command; from the reader, 10 83 reports the end of the card's block, 10 88 a damaged character.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "driver/stc/stc.h"
#include "support/card_bench.h"
#include "support/stc_wire.h"

namespace {

using tolvex::testutil::Bytes;
using tolvex::testutil::Feeder;
using tolvex::testutil::Hex;
using tolvex::testutil::Program;
using tolvex::testutil::Wire;

// A register operation: what the reader answers (rules in stc_wire.h's form), what the call
// returns, and every frame it wrote. A table stops at its first refused row without retry;
// register 2 is read back for its read-modify-writes (an unread one taken as 6F); a guard time
// takes bits 0 to 7 in register 1 and bit 8 in bit 7 of register 2, 510 at most.
struct RegisterCase {
  const char* name;
  NTSTATUS (*call)(PREADER_EXTENSION);
  const char* reader;
  NTSTATUS status;
  const char* wire;
  friend void PrintTo(const RegisterCase& c, std::ostream* os) { *os << c.name; }
};

class StcRegisters : public tolvex::testutil::LinkBenchTest,
                     public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(StcRegisters, WriteWhatTheCallAsksAndStopAtTheFirstRefusal) {
  const RegisterCase& c = GetParam();
  ExpectSilence();
  Program(script(), c.reader);
  EXPECT_EQ(c.call(reader()), c.status);
  EXPECT_EQ(Frames(), Wire(c.wire));
}

const RegisterCase kRegisterCases[] = {
    {"TableRowRefused", STCConfigureSTC, "88 00 > 90, 82 4F > 84", STATUS_DATA_ERROR,
     "88 00, 82 4F"},
    {"Close", STCCloseSTC, "* > 90", STATUS_SUCCESS, "84 00, 82 00"},
    {"RetriesWithRegister2Unread", [](PREADER_EXTENSION r) { return STCInitRetries(r, 0); },
     "82 6C > 90", STATUS_SUCCESS, "C2, 82 6C"},
    {"RetriesKeepTheOtherBits", [](PREADER_EXTENSION r) { return STCInitRetries(r, 2); },
     "C2 > A5, * > 90", STATUS_SUCCESS, "C2, 82 A6"},
    {"GuardTimeKeepsTheModeBits", [](PREADER_EXTENSION r) { return STCSetCGT(r, 12); },
     "C1 > 0D, C2 > E5, * > 90", STATUS_SUCCESS, "C1, C2, 81 0C, 82 65"},
    {"LongestGuardTime", [](PREADER_EXTENSION r) { return STCSetCGT(r, 510); },
     "C1 > 0D, C2 > 65, * > 90", STATUS_SUCCESS, "C1, C2, 81 FE, 82 E5"},
    {"GuardTimeTooLong", [](PREADER_EXTENSION r) { return STCSetCGT(r, 511); }, "* > 90",
     STATUS_DATA_ERROR, ""},
    {"GuardTimeRefused", [](PREADER_EXTENSION r) { return STCSetCGT(r, 13); },
     "C1 > 0D, C2 > 6F, 81 0D > 84", STATUS_DATA_ERROR, "C1, C2, 81 0D"},
    {"CharacterWaitingTime", [](PREADER_EXTENSION r) { return STCSetCWT(r, 0x012345); }, "* > 90",
     STATUS_SUCCESS, "85 45 23 01"},
    {"BlockWaitingTime", [](PREADER_EXTENSION r) { return STCSetBWT(r, 0xABCDEF); }, "* > 90",
     STATUS_SUCCESS, "86 EF CD AB"},
};

INSTANTIATE_TEST_SUITE_P(Operations, StcRegisters, ::testing::ValuesIn(kRegisterCases),
                         [](const auto& test) { return std::string(test.param.name); });

// STCInitUART's frames, which begin every reset.
const std::string kUart = "82 6F, C1, C2, 81 0D, 82 6F, 85 80 25 00, C2, 82 6C";
using tolvex::testutil::kPowerOff;
const Bytes& kReset = tolvex::testutil::kResetCommand;
constexpr const char* kDamaged = "83 1D > 90 3B 02 10 88 41";

class CardReset : public tolvex::testutil::CardBenchTest {
 protected:
  NTSTATUS Reset(bool warm, ULONG room = sizeof(atr_)) {
    std::fill(std::begin(atr_), std::end(atr_), 0xEE);
    length_ = room;
    return STCReset(reader(), warm ? TRUE : FALSE, atr_, &length_);
  }
  Bytes Atr() const { return Bytes(atr_, atr_ + std::min<ULONG>(length_, sizeof(atr_))); }
  size_t Count(const Bytes& frame) {
    const auto frames = Frames();
    return static_cast<size_t>(std::count(frames.begin(), frames.end(), frame));
  }
  UCHAR atr_[64];
  ULONG length_ = 0;
};

TEST_F(CardReset, MissingTckEndsTheAtrAfterItsWait) {
  // TD1 announces T=1 and there is no TD2: a TCK is due; the card's turn ends without it.
  for (auto& entry : reader()->AtrInterfaceBytes) entry = {1, 0x77};  // a previous card's
  Record();
  const std::vector<Feeder::Step> steps = {
      {120, {0x3B}}, {2400, {0x81}}, {2400, {0x01}}, {2400, {0x41}}, {2400, {0x10, 0x83}}};
  Feeder feeder(bench_, steps);
  ASSERT_EQ(Reset(false), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), steps.size());
  EXPECT_EQ(Atr(), Hex("3B 81 01 41"));
  // The interface bytes kept, TA TB TC TD of groups 1 to 3: TD1 alone.
  for (size_t i = 0; i < std::size(reader()->AtrInterfaceBytes); ++i) {
    EXPECT_EQ(reader()->AtrInterfaceBytes[i].Present, i == 3) << i;
  }
  EXPECT_EQ(reader()->AtrInterfaceBytes[3].Value, 0x01);
  EXPECT_EQ(Frames(), Wire(kUart + ", 84 00, 83 1D"));
  EXPECT_EQ(Delays(), (std::vector<ULONG>{200, 5}));  // the power-off's, the card's after its ATR
  // The ATR's waits: TS's, then 1200 ms per byte and 1200 more for each part; not those for the
  // reset command's answer, nor a write's (no limit).
  std::vector<LONGLONG> waits = Waits(), expected;
  std::erase(waits, tolvex::testutil::BenchWait(1));
  std::erase(waits, -1);
  for (const Feeder::Step& step : steps) expected.push_back(step.wait_ms);
  EXPECT_EQ(waits, expected);
}

// A reset: the reader's answers to the reset commands (90 alone to anything else), the card's
// bytes fed as the reads wait, the status, the reset commands sent, the ATR's waits that end by
// their time rather than a report, and the ATR stored in a room of `room` bytes. After a failure
// the length is left alone and the card is powered off after the last reset command.
struct ResetCase {
  const char* name;
  bool warm;
  std::string answers;
  std::vector<Feeder::Step> steps;
  NTSTATUS status;
  size_t resets;
  std::vector<LONGLONG> ran_out = {};
  const char* atr = "";
  ULONG room = 64;
  friend void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.name; }
};

class ResetOutcome : public CardReset, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetOutcome, StoresTheAtrOrLeavesTheLengthAloneAndTheCardOff) {
  const ResetCase& c = GetParam();
  Program(script(), c.answers);
  Record();
  Feeder feeder(bench_, c.steps);
  EXPECT_EQ(Reset(c.warm, c.room), c.status);
  EXPECT_EQ(feeder.done(), c.steps.size());  // every read that was to come did come
  const bool failed = c.status != STATUS_SUCCESS;
  EXPECT_EQ(Atr(), failed ? Bytes(atr_, atr_ + c.room) : Hex(c.atr));  // failed: length kept
  EXPECT_EQ(Count(kReset), c.resets);
  EXPECT_EQ(RanOut(), c.ran_out);
  // After a failure the reset's own power-off follows the last reset command, and ends it.
  const auto frames = Frames();
  const auto last_reset = std::find(frames.rbegin(), frames.rend(), kReset).base();
  EXPECT_EQ(std::vector<Bytes>(last_reset, frames.end()), std::vector<Bytes>(failed, kPowerOff));
  // One power-off before a cold reset, none before the warm repeat, one at the end.
  EXPECT_EQ(Count(kPowerOff), (c.warm ? 0u : 1u) + failed);
}

const ResetCase kResets[] = {
    {"SilentCard", false, "", {}, STATUS_UNRECOGNIZED_MEDIA, 1, {120}},
    {"InvalidTsIsJudgedAfterT0", false, "", {{120, {0x12}}, {2400, {0x00}}}, STATUS_DATA_ERROR, 1},
    // The card's block ends before the bytes T0 announces: interface bytes, historical bytes.
    {"NoTd1", false, "83 1D > 90 3B 80 10 83", {}, STATUS_UNRECOGNIZED_MEDIA, 1},
    {"NoHistoricalBytes", false, "83 1D > 90 3B 02 10 83", {}, STATUS_UNRECOGNIZED_MEDIA, 1},
    {"DamagedTwice", false, std::string(kDamaged) + ", " + kDamaged, {}, STATUS_IO_TIMEOUT, 2},
    {"DamagedOnAWarmReset", true, kDamaged, {}, STATUS_IO_TIMEOUT, 1},
    {"InverseConvention", false, "83 1D > 90 03 00", {}, STATUS_SUCCESS, 1, {}, "3F 00"},
    {"BeyondTheRoom", true, "83 1D > 90 3B 03 14 50 51", {}, STATUS_BUFFER_TOO_SMALL, 1, {}, "", 4},
};

INSTANTIATE_TEST_SUITE_P(Resets, ResetOutcome, ::testing::ValuesIn(kResets),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
