// Timing synchronisation: the worked figures, as the STC and the serial port receive them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "support/card_bench.h"

namespace {

using ::testing::ElementsAre;
using tolvex::testutil::Bytes;

struct TimingCase {
  const char* name;
  ULONG protocol;
  UCHAR n;
  // Expected: the register frames in order (after the retries' read of register 2), the waits.
  UCHAR guard_low;     // 81 xx
  UCHAR mode;          // the mode register's guard-time bit merged into 0x6F / 0x6C
  ULONG cwt, bwt;      // 85 and 86, three bytes each
  UCHAR retries_mode;  // 82 xx
  ULONG interval, total;
  friend void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }
};

// T=0 with the default WI 10: guard time 13, both waiting times 9600 + 960 = 10560 (0x2940),
// retries 3; waits 997 ms + 30 % + 50 and 997 ms + 30 % + 100. T=1 with CWI 13 and BWI 4: guard
// time 12, CWT 8203 + 820 = 9023 (0x233F), BWT 15371 + 1537 = 16908 (0x420C), retries 0; waits
// 852 ms and 1597 ms, plus 30 %. N 255 means no extra guard time; N 254 gives guard times 267
// and 266, with bit 8 set in the mode register.
const TimingCase kWorkedFigures[] = {
    {"T0Defaults", SCARD_PROTOCOL_T0, 0, 0x0D, 0x6F, 0x2940, 0x2940, 0x6F, 1346, 1396},
    {"T1Defaults", SCARD_PROTOCOL_T1, 0, 0x0C, 0x6F, 0x233F, 0x420C, 0x6C, 1157, 2176},
    {"T0N255", SCARD_PROTOCOL_T0, 255, 0x0D, 0x6F, 0x2940, 0x2940, 0x6F, 1346, 1396},
    {"T0N254", SCARD_PROTOCOL_T0, 254, 0x0B, 0xEF, 0x2940, 0x2940, 0x6F, 1346, 1396},
    {"T1N254", SCARD_PROTOCOL_T1, 254, 0x0A, 0xEF, 0x233F, 0x420C, 0x6C, 1157, 2176},
};

class Timing : public tolvex::testutil::LinkBenchTest,
               public ::testing::WithParamInterface<TimingCase> {
 protected:
  void SetUp() override {
    LinkBenchTest::SetUp();
    script().Always({0xC1}, {0x0D});
    script().Always({0xC2}, {0x6F});
    script().Default({0x90});
    card().ClockRateConversion = ClockRateConversion;
    card().BitRateAdjustment = BitRateAdjustment;
    card().Fl = 1;  // F 372
    card().Dl = 1;  // D 1
    smartcard()->ReaderCapabilities.CLKFrequency.Max = 3580;
  }
  SCARD_CARD_CAPABILITIES& card() { return smartcard()->CardCapabilities; }
  static Bytes Register(UCHAR code, ULONG value) {
    return {code, static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8),
            static_cast<UCHAR>(value >> 16)};
  }
  void ExpectWaits(ULONG interval, ULONG total) {
    EXPECT_EQ(reader()->ReadIntervalTimeout, interval);
    EXPECT_EQ(reader()->ReadTotalTimeout, total);
  }
};

TEST_P(Timing, ProgramsTheControllerAndTheSerialWaits) {
  const TimingCase& c = GetParam();
  card().Protocol.Selected = c.protocol;
  card().N = c.n;
  bench_.port().ClearRequests();

  ASSERT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);

  EXPECT_THAT(Frames(), ElementsAre(Bytes{0xC2}, Bytes{0x82, c.retries_mode}, Bytes{0xC1},
                                    Bytes{0xC2}, Bytes{0x81, c.guard_low}, Bytes{0x82, c.mode},
                                    Register(0x85, c.cwt), Register(0x86, c.bwt)));
  ExpectWaits(c.interval, c.total);
  // The defaults of the protocol in force are written back, and only those.
  const bool t1 = c.protocol == SCARD_PROTOCOL_T1;
  EXPECT_EQ(card().T0.WI, t1 ? 0 : 10);
  EXPECT_EQ(card().T1.CWI, t1 ? 13 : 0);
  EXPECT_EQ(card().T1.BWI, t1 ? 4 : 0);

  // The port gets the same two values, multipliers 0 and a write constant of 1000 ms.
  const auto requests = bench_.port().Requests();
  ASSERT_FALSE(requests.empty());
  ASSERT_EQ(requests.back().code, IOCTL_SERIAL_SET_TIMEOUTS);
  SERIAL_TIMEOUTS timeouts;
  ASSERT_EQ(requests.back().input.size(), sizeof(timeouts));
  std::memcpy(&timeouts, requests.back().input.data(), sizeof(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, c.interval);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, c.total);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 1000u);
}

INSTANTIATE_TEST_SUITE_P(WorkedFigures, Timing, ::testing::ValuesIn(kWorkedFigures),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(Timing, NoProtocolProgramsNothingAndTheWaitsFollowT0) {
  card().Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(card().T0.WI, 0);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(card().T0.WI, 10);
  ExpectWaits(1346, 1396);
}

TEST_F(Timing, ZeroElementaryTimeUnitWritesNothing) {
  // F 372 with a divisor of 0: the ETU is 0, so only the retries are set.
  static const BIT_RATE_ADJUSTMENT broken[16] = {{0, 0}, {1, 0}};
  card().BitRateAdjustment = broken;
  card().Protocol.Selected = SCARD_PROTOCOL_T1;
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0xC2}, Bytes{0x82, 0x6C}));
}

TEST_F(Timing, ReservedBitRateCodeIsReplacedByTheDefaults) {
  // A zero numerator would divide by zero: the card's default parameters are used instead.
  static const BIT_RATE_ADJUSTMENT reserved[16] = {};
  card().BitRateAdjustment = reserved;
  card().Protocol.Selected = SCARD_PROTOCOL_T0;
  ASSERT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);
  ExpectWaits(1346, 1396);
}

TEST_F(Timing, FailedRegisterWriteEndsTheProgramming) {
  script().Clear();
  script().Always({0xC1}, {0x0D});
  script().Always({0xC2}, {0x6F});
  script().Expect({0x82, 0x6F}, {0x90});  // retries
  script().Expect({0x81, 0x0D}, {0x90});
  script().Expect({0x82, 0x6F}, {0x90});              // guard time's bit 8
  script().Expect({0x85, 0x40, 0x29, 0x00}, {0x84});  // CWT refused
  card().Protocol.Selected = SCARD_PROTOCOL_T0;
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), STATUS_DATA_ERROR);
  EXPECT_EQ(Frames().back(), (Bytes{0x85, 0x40, 0x29, 0x00}));  // no BWT
}

}  // namespace
