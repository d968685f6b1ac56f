// Timing synchronisation: the worked figures, as the STC and the serial port receive them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "driver/card/card.h"
#include "support/link_bench.h"

namespace {

using ::testing::ElementsAre;
using tolvex::host::LinkBench;
using tolvex::platform::PlatformScope;
using Bytes = std::vector<UCHAR>;

struct TimingCase {
  const char* name;
  ULONG protocol;
  UCHAR n;
  UCHAR wi;
  UCHAR cwi;
  UCHAR bwi;
  // Expected: register frames in order (after the retries' read of register 2), waits.
  Bytes guard_low;  // 81 xx
  UCHAR mode;       // the mode register's guard-time bit merged into 0x6F / 0x6C
  Bytes cwt;        // 85 ...
  Bytes bwt;        // 86 ...
  UCHAR retries_mode;
  ULONG interval;
  ULONG total;
};

class Timing : public ::testing::TestWithParam<TimingCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(bench_.Start(), STATUS_SUCCESS);
    bench_.script().Always({0xC1}, {0x0D});
    bench_.script().Always({0xC2}, {0x6F});
    bench_.script().Default({0x90});
    SCARD_CARD_CAPABILITIES& card = smartcard()->CardCapabilities;
    card.ClockRateConversion = ClockRateConversion;
    card.BitRateAdjustment = BitRateAdjustment;
    card.Fl = 1;  // F 372
    card.Dl = 1;  // D 1
    smartcard()->ReaderCapabilities.CLKFrequency.Max = 3580;
  }
  PSMARTCARD_EXTENSION smartcard() { return bench_.smartcard(); }
  LinkBench bench_;
  PlatformScope scope_{bench_.platform()};
};

TEST_P(Timing, ProgramsTheControllerAndTheSerialWaits) {
  const TimingCase& c = GetParam();
  SCARD_CARD_CAPABILITIES& card = smartcard()->CardCapabilities;
  card.Protocol.Selected = c.protocol;
  card.N = c.n;
  card.T0.WI = c.wi;
  card.T1.CWI = c.cwi;
  card.T1.BWI = c.bwi;
  bench_.port().ClearRequests();

  ASSERT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);

  Bytes mode_write{0x82, c.mode};
  EXPECT_THAT(bench_.script().frames(),
              ElementsAre(Bytes{0xC2}, Bytes{0x82, c.retries_mode}, Bytes{0xC1}, Bytes{0xC2},
                          c.guard_low, mode_write, c.cwt, c.bwt));
  EXPECT_EQ(bench_.reader()->ReadIntervalTimeout, c.interval);
  EXPECT_EQ(bench_.reader()->ReadTotalTimeout, c.total);

  // The port gets the same two values, multipliers 0 and a write constant of 1000 ms.
  const auto requests = bench_.port().Requests();
  ASSERT_FALSE(requests.empty());
  const auto& last = requests.back();
  ASSERT_EQ(last.code, IOCTL_SERIAL_SET_TIMEOUTS);
  SERIAL_TIMEOUTS timeouts;
  ASSERT_EQ(last.input.size(), sizeof(timeouts));
  std::memcpy(&timeouts, last.input.data(), sizeof(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, c.interval);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, c.total);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 1000u);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedFigures, Timing,
    ::testing::Values(
        // T=0 with the default WI 10: guard time 13, both waiting times 9600 + 960 = 10560
        // (0x2940), retries 3; waits 997 ms + 30 % + 50 and 997 ms + 30 % + 100.
        TimingCase{"T0Defaults",
                   SCARD_PROTOCOL_T0,
                   0,
                   0,
                   0,
                   0,
                   {0x81, 0x0D},
                   0x6F,
                   {0x85, 0x40, 0x29, 0x00},
                   {0x86, 0x40, 0x29, 0x00},
                   0x6F,
                   1346,
                   1396},
        // T=1 with CWI 13 and BWI 4: guard time 12, CWT 8203 + 820 = 9023 (0x233F), BWT
        // 15371 + 1537 = 16908 (0x420C), retries 0; waits 852 ms and 1597 ms, plus 30 %.
        TimingCase{"T1Defaults",
                   SCARD_PROTOCOL_T1,
                   0,
                   0,
                   0,
                   0,
                   {0x81, 0x0C},
                   0x6F,
                   {0x85, 0x3F, 0x23, 0x00},
                   {0x86, 0x0C, 0x42, 0x00},
                   0x6C,
                   1157,
                   2176},
        // N 255 means no extra guard time.
        TimingCase{"T0N255",
                   SCARD_PROTOCOL_T0,
                   255,
                   0,
                   0,
                   0,
                   {0x81, 0x0D},
                   0x6F,
                   {0x85, 0x40, 0x29, 0x00},
                   {0x86, 0x40, 0x29, 0x00},
                   0x6F,
                   1346,
                   1396},
        // N 254: guard times 267 and 266, with bit 8 set in the mode register.
        TimingCase{"T0N254",
                   SCARD_PROTOCOL_T0,
                   254,
                   0,
                   0,
                   0,
                   {0x81, 0x0B},
                   0xEF,
                   {0x85, 0x40, 0x29, 0x00},
                   {0x86, 0x40, 0x29, 0x00},
                   0x6F,
                   1346,
                   1396},
        TimingCase{"T1N254",
                   SCARD_PROTOCOL_T1,
                   254,
                   0,
                   0,
                   0,
                   {0x81, 0x0A},
                   0xEF,
                   {0x85, 0x3F, 0x23, 0x00},
                   {0x86, 0x0C, 0x42, 0x00},
                   0x6C,
                   1157,
                   2176}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(Timing, DefaultsAreWrittenBackForTheProtocolInForce) {
  SCARD_CARD_CAPABILITIES& card = smartcard()->CardCapabilities;
  card.Protocol.Selected = SCARD_PROTOCOL_T1;
  ASSERT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(card.T1.CWI, 13);
  EXPECT_EQ(card.T1.BWI, 4);
  EXPECT_EQ(card.T0.WI, 0);  // not the protocol in force here
}

TEST_F(Timing, NoProtocolProgramsNothingAndTheWaitsFollowT0) {
  SCARD_CARD_CAPABILITIES& card = smartcard()->CardCapabilities;
  card.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(bench_.script().frames().empty());
  EXPECT_EQ(card.T0.WI, 0);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(card.T0.WI, 10);
  EXPECT_EQ(bench_.reader()->ReadIntervalTimeout, 1346u);
  EXPECT_EQ(bench_.reader()->ReadTotalTimeout, 1396u);
}

TEST_F(Timing, ZeroElementaryTimeUnitWritesNothing) {
  // F 372 with a divisor of 0: the ETU is 0, so no register is written.
  static const BIT_RATE_ADJUSTMENT broken[16] = {{0, 0}, {1, 0}};
  SCARD_CARD_CAPABILITIES& card = smartcard()->CardCapabilities;
  card.BitRateAdjustment = broken;
  card.Protocol.Selected = SCARD_PROTOCOL_T1;
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  // Only the retries were set; no guard or waiting time.
  EXPECT_THAT(bench_.script().frames(), ElementsAre(Bytes{0xC2}, Bytes{0x82, 0x6C}));
}

TEST_F(Timing, ReservedBitRateCodeIsReplacedByTheDefaults) {
  // A zero numerator would divide by zero: the card's default parameters are used instead.
  static const BIT_RATE_ADJUSTMENT reserved[16] = {};
  SCARD_CARD_CAPABILITIES& card = smartcard()->CardCapabilities;
  card.BitRateAdjustment = reserved;
  card.Protocol.Selected = SCARD_PROTOCOL_T0;
  ASSERT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(bench_.reader()->ReadIntervalTimeout, 1346u);
  EXPECT_EQ(bench_.reader()->ReadTotalTimeout, 1396u);
}

TEST_F(Timing, FailedRegisterWriteEndsTheProgramming) {
  bench_.script().Clear();
  bench_.script().Always({0xC1}, {0x0D});
  bench_.script().Always({0xC2}, {0x6F});
  bench_.script().Expect({0x82, 0x6F}, {0x90});  // retries
  bench_.script().Expect({0x81, 0x0D}, {0x90});
  bench_.script().Expect({0x82, 0x6F}, {0x90});              // guard time's bit 8
  bench_.script().Expect({0x85, 0x40, 0x29, 0x00}, {0x84});  // CWT refused
  smartcard()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), STATUS_DATA_ERROR);
  EXPECT_EQ(bench_.script().frames().back(), (Bytes{0x85, 0x40, 0x29, 0x00}));  // no BWT
}

}  // namespace
