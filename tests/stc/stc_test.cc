// The controller: the exact frames of its register programming, and card reset with the reading
// of the Answer To Reset (the waits for each part of the ATR, where it ends, its interface bytes,
// the repeat after a damaged character, what every failure leaves behind). On the wire, 83 1D is
// the reset command; from the reader, 10 83 reports the end of the card's block, 10 88 a damaged
// character.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "driver/stc/stc.h"
#include "support/card_bench.h"
#include "support/stc_wire.h"

namespace {

using tolvex::testutil::Bytes;
using tolvex::testutil::Feeder;
using tolvex::testutil::Hex;
using tolvex::testutil::Program;
using tolvex::testutil::Split;
using tolvex::testutil::Wire;
using Operation = std::function<NTSTATUS(PREADER_EXTENSION)>;
using namespace std::string_literals;

struct RegisterCase {
  const char* name;
  Operation operation;
  const char* script;  // the reader's answers
  const char* frames;
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<ULONG> delays = {};
  friend void PrintTo(const RegisterCase& c, std::ostream* os) { *os << c.name; }
};

class StcRegisters : public tolvex::testutil::LinkBenchTest,
                     public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(StcRegisters, SendsItsFramesAndJudgesTheAnswers) {
  const RegisterCase& c = GetParam();
  ExpectSilence();
  Program(script(), c.script);
  Record();
  EXPECT_EQ(c.operation(reader()), c.status);
  EXPECT_EQ(Frames(), Wire(c.frames));
  EXPECT_EQ(Delays(), c.delays);
}

Operation Guard(ULONG time) {
  return [time](PREADER_EXTENSION r) { return STCSetCGT(r, time); };
}
Operation Retries(UCHAR count) {
  return [count](PREADER_EXTENSION r) { return STCInitRetries(r, count); };
}
Operation Uart(BOOLEAN mode) {
  return [mode](PREADER_EXTENSION r) { return STCInitUART(r, mode); };
}

// Registers 1 and 2 read 55 and 6F; every write acknowledged.
constexpr const char* kAnswers = "C1 >> 55, C2 >> 6F, * > 90";

const RegisterCase kRegisterCases[] = {
    // A table stops at its first refused row, without retry.
    {"TableRowRefused", STCConfigureSTC, "88 00 > 90, 82 4F > 84", "88 00, 82 4F",
     STATUS_DATA_ERROR},
    // The guard time's nine bits: the low eight to register 1, bit 8 to bit 7 of register 2.
    {"Guard510", Guard(510), kAnswers, "C1, C2, 81 FE, 82 EF"},
    {"Guard267", Guard(267), "C1 >> 55, C2 >> 6C, * > 90", "C1, C2, 81 0B, 82 EC"},
    {"Guard0", Guard(0), "C1 >> 55, C2 >> 4F, * > 90", "C1, C2, 81 00, 82 4F"},
    {"Guard511Refused", Guard(511), kAnswers, "", STATUS_DATA_ERROR},
    {"GuardWithRegister1Unread", Guard(13), "", "C1", STATUS_IO_TIMEOUT},
    // An unread register 2 is taken as the UART mode 6F.
    {"GuardWithRegister2Unread", Guard(300), "C1 > 0D, 81 2C > 90, 82 EF > 90",
     "C1, C2, 81 2C, 82 EF"},
    // Waiting times: three bytes, least significant first; the top byte is not sent.
    {"BlockWaitingTime", [](auto r) { return STCSetBWT(r, 0x01020304); }, kAnswers, "86 04 03 02"},
    // Retries replace the low two bits of the mode register.
    {"Retries3", Retries(3), "C2 >> 4C, * > 90", "C2, 82 4F"},
    {"RetriesWithRegister2Unread", Retries(0), "82 6C > 90", "C2, 82 6C"},
    {"UartSetUp", Uart(TRUE), "C1 >> 0D, C2 >> 6F, * > 90",
     "82 6F, C1, C2, 81 0D, 82 6F, 85 80 25 00, C2, 82 6C"},
    {"UartSetUpOtherMode", Uart(FALSE), "C1 >> 0D, C2 >> 67, * > 90",
     "82 67, C1, C2, 81 0D, 82 67, 85 80 25 00, C2, 82 64"},
    {"UartSetUpRefused", Uart(TRUE), "82 6F > 88", "82 6F", STATUS_DATA_ERROR},
    // The power-off waits 200 ms.
    {"PowerOff", STCPowerOff, kAnswers, "84 00", STATUS_SUCCESS, {200}},
};

INSTANTIATE_TEST_SUITE_P(Operations, StcRegisters, ::testing::ValuesIn(kRegisterCases),
                         [](const auto& test) { return std::string(test.param.name); });

// STCInitUART's frames, which begin every reset.
const std::string kUart = "82 6F, C1, C2, 81 0D, 82 6F, 85 80 25 00, C2, 82 6C";
const Bytes kPowerOff = {0x84, 0x00};
const Bytes kReset = {0x83, 0x1D};
constexpr const char* kDamaged = "83 1D > 90 3B 02 10 88 41";

// Feeder steps as "wait: bytes", separated by semicolons: each part goes on the line once the
// driver's read waits that long.
std::vector<Feeder::Step> Steps(std::string_view text) {
  std::vector<Feeder::Step> steps;
  for (std::string_view step : Split(text, ";")) {
    const auto parts = Split(step, ":");
    steps.push_back({std::stoll(std::string(parts[0])), Hex(parts[1])});
  }
  return steps;
}

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

struct ResetCase {
  const char* name;
  bool warm;
  std::string answers;
  const char* atr;
  std::string frames;
  std::vector<ULONG> delays;  // the power-off's 200 ms, 5 ms for the card after its ATR
};

class ResetFrames : public CardReset, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetFrames, SendTheSetUpAndAPowerOffBeforeAColdReset) {
  const ResetCase& c = GetParam();
  Program(script(), c.answers);
  Record();
  ASSERT_EQ(Reset(c.warm), STATUS_SUCCESS);
  EXPECT_EQ(Atr(), Hex(c.atr));
  EXPECT_EQ(Frames(), Wire(c.frames));
  EXPECT_EQ(Delays(), c.delays);
}

const ResetCase kResets[] = {
    {"Cold", false, "83 1D > 90 3B 02 14 50", "3B 02 14 50", kUart + ", 84 00, 83 1D", {200, 5}},
    {"Warm", true, "83 1D > 90 3B 02 14 50", "3B 02 14 50", kUart + ", 83 1D", {5}},
    // Repeated once, warm, with the caller's whole room: the second ATR is longer.
    {"DamagedColdAtrRepeatedWarm",
     false,
     kDamaged + ", 83 1D > 90 3B 03 14 50 51"s,
     "3B 03 14 50 51",
     kUart + ", 84 00, 83 1D, " + kUart + ", 83 1D",
     {200, 5}},
};

INSTANTIATE_TEST_SUITE_P(Resets, ResetFrames, ::testing::ValuesIn(kResets),
                         [](const auto& test) { return std::string(test.param.name); });

struct AtrCase {
  const char* name;
  const char* sent;  // the reader's bytes after its 90, in one piece, unless fed in steps
  const char* atr;
  const char* interface;  // AtrInterfaceBytes: TA TB TC TD of groups 1 to 3, "--" if absent
  const char* steps = "";
  friend void PrintTo(const AtrCase& c, std::ostream* os) { *os << c.name; }
};

class AtrShape : public CardReset, public ::testing::WithParamInterface<AtrCase> {};

TEST_P(AtrShape, EndsWhereItsStructureSaysAndKeepsGroupsOneToThree) {
  const AtrCase& c = GetParam();
  for (auto& entry : reader()->AtrInterfaceBytes) entry = {1, 0x77};  // a previous card's
  // What lies behind the table in the record, up to the next member's event type and reserved
  // bytes: nothing else changes those.
  constexpr size_t kEnd =
      offsetof(READER_EXTENSION, AtrInterfaceBytes) + sizeof(READER_EXTENSION::AtrInterfaceBytes);
  constexpr size_t kBehind = offsetof(READER_EXTENSION, PassTurn) + 4 - kEnd;
  const UCHAR* record = reinterpret_cast<const UCHAR*>(reader());
  const Bytes behind(record + kEnd, record + kEnd + kBehind);
  if (*c.sent != 0) script().Expect(kReset, tolvex::testutil::Cat({STC_OK}, Hex(c.sent)));
  Record();
  const auto steps = Steps(c.steps);
  Feeder feeder(bench_, steps);
  ASSERT_EQ(Reset(false), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), steps.size());
  EXPECT_EQ(Atr(), Hex(c.atr));
  EXPECT_EQ(Bytes(record + kEnd, record + kEnd + kBehind), behind);
  std::string table;
  for (const ATR_INTERFACE_BYTE& entry : reader()->AtrInterfaceBytes) {
    char text[4];
    std::snprintf(text, sizeof(text), "%02X ", entry.Value);
    table += entry.Present ? text : "-- ";
  }
  EXPECT_EQ(table, std::string(c.interface) + " ");
  if (steps.empty()) return;
  // The ATR's waits: TS's, then 1200 ms per byte and 1200 more for each part; not those for
  // the reset command's answer, nor a write's (no limit).
  std::vector<LONGLONG> waits = Waits(), expected;
  std::erase(waits, tolvex::testutil::BenchWait(1));
  std::erase(waits, -1);
  for (const Feeder::Step& step : steps) expected.push_back(step.wait_ms);
  EXPECT_EQ(waits, expected);
}

// A stray AA after an ATR shows that nothing beyond its end is taken.
const AtrCase kAtrs[] = {
    {"InverseConventionTsIsStoredAs3F", "03 00", "3F 00", "-- -- -- -- -- -- -- -- -- -- -- --"},
    {"TdChainAloneWithTck", "3B 80 80 01 01", "3B 80 80 01 01",
     "-- -- -- 80 -- -- -- 01 -- -- -- --"},
    {"Td2AnnouncingT0OverridesTd1", "3B 80 81 00 AA", "3B 80 81 00",
     "-- -- -- 81 -- -- -- 00 -- -- -- --"},
    {"AllFourBytesOfTheFirstGroup", "3B F0 11 22 33 00 AA", "3B F0 11 22 33 00",
     "11 22 33 00 -- -- -- -- -- -- -- --"},
    // TD3 announces a fourth group (TA4 FE, TB4 45): read and counted, kept in the ATR only.
    {"FourthGroupIsReadButNotKept", "3B 80 80 81 31 FE 45 0B", "3B 80 80 81 31 FE 45 0B",
     "-- -- -- 80 -- -- -- 81 -- -- -- 31"},
    // TA1 and TD1, TD2 (T=1), TA3 and TB3, two historical bytes, TCK.
    {"EachPartAwaitedInTurn", "", "3B 92 13 80 31 20 45 44 55 44",
     "13 -- -- 80 -- -- -- 31 20 45 -- --",
     "120: 3B; 2400: 92; 3600: 13 80; 2400: 31; 3600: 20 45; 3600: 44 55; 2400: 44"},
    // TD1 announces T=1 and there is no TD2: a TCK is due; the card's turn ends without it.
    {"MissingTckEndsTheAtrAfterItsWait", "", "3B 81 01 41", "-- -- -- 01 -- -- -- -- -- -- -- --",
     "120: 3B; 2400: 81; 2400: 01; 2400: 41; 2400: 10 83"},
};

INSTANTIATE_TEST_SUITE_P(Atrs, AtrShape, ::testing::ValuesIn(kAtrs),
                         [](const auto& test) { return std::string(test.param.name); });

struct FailureCase {
  const char* name;
  bool warm;
  ULONG room;
  std::string answers;  // to the reset commands; 90 alone after those
  const char* steps;
  NTSTATUS status;
  size_t resets;
  std::vector<LONGLONG> ran_out = {};  // the ATR's waits that end by their time, not a report
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class ResetFailure : public CardReset, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ResetFailure, LeavesTheLengthAloneAndTheCardOff) {
  const FailureCase& c = GetParam();
  Program(script(), c.answers);
  Record();
  const auto steps = Steps(c.steps);
  Feeder feeder(bench_, steps);
  EXPECT_EQ(Reset(c.warm, c.room), c.status);
  EXPECT_EQ(feeder.done(), steps.size());  // every read that was to come did come
  EXPECT_EQ(length_, c.room);
  EXPECT_EQ(Count(kReset), c.resets);
  EXPECT_EQ(RanOut(), c.ran_out);
  // The reset's own power-off comes right after the last reset command, and ends it.
  const auto frames = Frames();
  const auto last_reset = std::find(frames.rbegin(), frames.rend(), kReset).base();
  ASSERT_NE(last_reset, frames.end());
  EXPECT_EQ(std::vector<Bytes>(last_reset, frames.end()), std::vector<Bytes>{kPowerOff});
  // One power-off before a cold reset, none before the warm repeat, one at the end.
  EXPECT_EQ(Count(kPowerOff), c.warm ? 1u : 2u);
}

const FailureCase kFailures[] = {
    {"SilentCard", false, 64, "", "", STATUS_UNRECOGNIZED_MEDIA, 1, {120}},
    {"CardStopsAfterT0DespiteHistoricalBytes", false, 64, "", "120: 3B; 2400: 02; 3600: 10 83",
     STATUS_UNRECOGNIZED_MEDIA, 1},
    // T0 84 announces TD1 and four historical bytes; none comes. The reader reports the
    // end of the card's block while the read for TD1 waits, or before it begins.
    {"TruncatedAtrReportedWhileTd1IsAwaited", false, 64, "", "120: 3B; 2400: 84; 2400: 10 83",
     STATUS_UNRECOGNIZED_MEDIA, 1},
    {"TruncatedAtrReportedBeforeTd1IsAwaited", false, 64, "83 1D > 90 3B 84 10 83", "",
     STATUS_UNRECOGNIZED_MEDIA, 1},
    {"InvalidTsIsJudgedAfterT0", false, 64, "", "120: 12; 2400: 00", STATUS_DATA_ERROR, 1},
    {"AtrLargerThanTheRoom", false, 3, "83 1D > 90 3B 02 14 50", "", STATUS_BUFFER_TOO_SMALL, 1},
    {"RefusedResetCommand", false, 64, "83 1D > 84", "", STATUS_DATA_ERROR, 1},
    {"DamagedTwice", false, 64, kDamaged + ", "s + kDamaged, "", STATUS_IO_TIMEOUT, 2},
    {"DamagedOnAWarmReset", true, 64, kDamaged, "", STATUS_IO_TIMEOUT, 1},
};

INSTANTIATE_TEST_SUITE_P(Failures, ResetFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
