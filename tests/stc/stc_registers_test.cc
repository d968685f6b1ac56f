// Controller register programming: the exact frames each operation puts on the wire.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "driver/stc/stc.h"
#include "support/link_bench.h"

namespace {

using ::testing::ElementsAre;
using tolvex::host::LinkBench;
using tolvex::platform::PlatformScope;
using Bytes = std::vector<UCHAR>;

class StcRegisters : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(bench_.Start(), STATUS_SUCCESS);
    bench_.script().Default({0x90});  // every write acknowledged
  }
  PREADER_EXTENSION reader() { return bench_.reader(); }
  std::vector<Bytes> Frames() { return bench_.script().frames(); }
  // Register reads answered with fixed values (register 1, register 2).
  void Registers(UCHAR guard, UCHAR mode) {
    bench_.script().Always({0xC1}, {guard});
    bench_.script().Always({0xC2}, {mode});
  }

  LinkBench bench_;
  PlatformScope scope_{bench_.platform()};
};

TEST_F(StcRegisters, StartUpAndCloseTablesWriteTheirRowsInOrder) {
  ASSERT_EQ(STCConfigureSTC(reader()), STATUS_SUCCESS);
  ASSERT_EQ(STCCloseSTC(reader()), STATUS_SUCCESS);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0x88, 0x00}, Bytes{0x82, 0x4F}, Bytes{0x84, 0x00},
                                    Bytes{0x82, 0x00}));
}

TEST_F(StcRegisters, TableStopsAtTheFirstRefusedRowWithoutRetry) {
  bench_.script().Clear();
  bench_.script().Expect({0x88, 0x00}, {0x90});
  bench_.script().Expect({0x82, 0x4F}, {0x84});
  EXPECT_EQ(STCConfigureSTC(reader()), STATUS_DATA_ERROR);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0x88, 0x00}, Bytes{0x82, 0x4F}));
}

struct GuardCase {
  ULONG guard;
  UCHAR mode_before;
  UCHAR low_written;
  UCHAR mode_written;
};

class StcGuardTime : public StcRegisters, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(StcGuardTime, SplitsNineBitsOverRegistersOneAndTwo) {
  const GuardCase& c = GetParam();
  Registers(0x55, c.mode_before);
  ASSERT_EQ(STCSetCGT(reader(), c.guard), STATUS_SUCCESS);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0xC1}, Bytes{0xC2}, Bytes{0x81, c.low_written},
                                    Bytes{0x82, c.mode_written}));
}

INSTANTIATE_TEST_SUITE_P(Values, StcGuardTime,
                         ::testing::Values(GuardCase{510, 0x6F, 0xFE, 0xEF},
                                           GuardCase{256, 0x6F, 0x00, 0xEF},
                                           GuardCase{13, 0xEF, 0x0D, 0x6F},
                                           GuardCase{267, 0x6C, 0x0B, 0xEC},
                                           GuardCase{0, 0x4F, 0x00, 0x4F}));

TEST_F(StcRegisters, GuardTimeOf511OrMoreIsRefusedUnsent) {
  EXPECT_EQ(STCSetCGT(reader(), 511), STATUS_DATA_ERROR);
  EXPECT_EQ(STCSetCGT(reader(), 0xFFFFFFFF), STATUS_DATA_ERROR);
  EXPECT_TRUE(Frames().empty());
}

TEST_F(StcRegisters, GuardTimeStopsWhenRegisterOneCannotBeRead) {
  bench_.script().Clear();  // the reader answers nothing
  EXPECT_EQ(STCSetCGT(reader(), 13), STATUS_IO_TIMEOUT);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0xC1}));
}

TEST_F(StcRegisters, WaitingTimesAreThreeBytesLeastSignificantFirst) {
  ASSERT_EQ(STCSetCWT(reader(), 9600), STATUS_SUCCESS);
  ASSERT_EQ(STCSetBWT(reader(), 0x01020304), STATUS_SUCCESS);  // the top byte is not sent
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0x85, 0x80, 0x25, 0x00}, Bytes{0x86, 0x04, 0x03, 0x02}));
}

TEST_F(StcRegisters, RetriesReplaceTheLowTwoBitsOfTheModeRegister) {
  Registers(0, 0x6F);
  ASSERT_EQ(STCInitRetries(reader(), 0), STATUS_SUCCESS);
  bench_.script().Clear();
  bench_.script().Default({0x90});
  Registers(0, 0x4C);
  ASSERT_EQ(STCInitRetries(reader(), 3), STATUS_SUCCESS);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0xC2}, Bytes{0x82, 0x4F}));
}

TEST_F(StcRegisters, RetriesFromAnUnreadableModeRegisterStartFromTheUartMode) {
  // The read of register 2 goes unanswered; the write still follows, on the UART mode 0x6F.
  bench_.script().Clear();
  bench_.script().Expect({0x82, 0x6C}, {0x90});
  ASSERT_EQ(STCInitRetries(reader(), 0), STATUS_SUCCESS);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0xC2}, Bytes{0x82, 0x6C}));
}

TEST_F(StcRegisters, GuardTimeFromAnUnreadableModeRegisterStartsFromTheUartMode) {
  bench_.script().Clear();  // register 2 is not answered; the other commands are
  bench_.script().Always({0xC1}, {0x0D});
  bench_.script().Expect({0x81, 0x2C}, {0x90});
  bench_.script().Expect({0x82, 0xEF}, {0x90});  // 0x6F with bit 8 of 300 in bit 7
  ASSERT_EQ(STCSetCGT(reader(), 300), STATUS_SUCCESS);
  EXPECT_EQ(Frames().size(), 4u);
}

TEST_F(StcRegisters, UartSetUpSendsItsSequence) {
  Registers(0x0D, 0x6F);
  ASSERT_EQ(STCInitUART(reader(), TRUE), STATUS_SUCCESS);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0x82, 0x6F}, Bytes{0xC1}, Bytes{0xC2}, Bytes{0x81, 0x0D},
                                    Bytes{0x82, 0x6F}, Bytes{0x85, 0x80, 0x25, 0x00}, Bytes{0xC2},
                                    Bytes{0x82, 0x6C}));
}

TEST_F(StcRegisters, UartSetUpWithTheOtherModeDiffersInBitThree) {
  Registers(0x0D, 0x67);
  ASSERT_EQ(STCInitUART(reader(), FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Frames().front(), (Bytes{0x82, 0x67}));
}

TEST_F(StcRegisters, UartSetUpStopsAtItsFirstFailure) {
  bench_.script().Clear();
  bench_.script().Expect({0x82, 0x6F}, {0x88});
  EXPECT_EQ(STCInitUART(reader(), TRUE), STATUS_DATA_ERROR);
  EXPECT_EQ(Frames().size(), 1u);
}

TEST_F(StcRegisters, PowerOffWaits200MsAnsweredOrNot) {
  bench_.platform().clock().StartRecording();
  EXPECT_EQ(STCPowerOff(reader()), STATUS_SUCCESS);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0x84, 0x00}));
  bench_.script().Clear();  // now the reader is silent
  EXPECT_EQ(STCPowerOff(reader()), STATUS_IO_TIMEOUT);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0x84, 0x00}));
  EXPECT_THAT(bench_.platform().clock().DelaysMs(std::this_thread::get_id()),
              ElementsAre(200, 200));
}

TEST_F(StcRegisters, EtuIsNotProgrammed) {
  EXPECT_EQ(STCSetETU(reader(), 372), STATUS_SUCCESS);
  EXPECT_EQ(STCSetETU(reader(), 0), STATUS_SUCCESS);
  EXPECT_TRUE(Frames().empty());
}

}  // namespace
