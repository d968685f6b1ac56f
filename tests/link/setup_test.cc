// A control request awaited and cancelled, and the STC command protocol: the frames on the wire
// and how the reader's answers are judged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "support/card_bench.h"

namespace {

using ::testing::ElementsAre;
using tolvex::testutil::Bytes;

using StcProtocol = tolvex::testutil::LinkBenchTest;

// The bench's port opened, not yet set up (no listener).
class SerialSetUp : public tolvex::testutil::LinkBenchTest {
 protected:
  void SetUp() override { ASSERT_EQ(bench_.Open(), STATUS_SUCCESS); }
};

// A control request the port holds (a wait on its event mask) is awaited for ReadTotalTimeout,
// then cancelled and awaited until the port lets go of it.
TEST_F(SerialSetUp, PendingRequestIsAwaitedForItsTimeThenCancelled) {
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(IFSerialIoctl(reader(), IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0),
            STATUS_SUCCESS);
  reader()->ReadTotalTimeout = 40;
  Record();
  mask = 0x5A5A5A5A;
  EXPECT_EQ(IFSerialIoctl(reader(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, sizeof(mask)),
            STATUS_CANCELLED);
  EXPECT_EQ(mask, 0x5A5A5A5Au);
  EXPECT_FALSE(bench_.port().has_pending_wait());
  EXPECT_EQ(bench_.platform().pool().Usage(PoolTag("Irp ")).allocations, 0u);
  EXPECT_THAT(Waits(), ElementsAre(40, -1));
}

TEST_F(StcProtocol, RegisterWriteSendsCommandAndValueAndNeedsTheSuccessCode) {
  const UCHAR value[] = {0x12, 0x34, 0x56};
  const struct {
    Bytes answer;  // none: silence
    NTSTATUS status;
  } cases[] = {{{0x90}, STATUS_SUCCESS}, {{0x88}, STATUS_DATA_ERROR}, {{}, STATUS_IO_TIMEOUT}};
  for (const auto& c : cases) {
    if (c.answer.empty()) ExpectSilence();
    script().Expect({0x85, 0x12, 0x34, 0x56}, c.answer);
    EXPECT_EQ(IFWriteSTCRegister(reader(), 5, 3, value), c.status);
  }
  EXPECT_EQ(Frames(), std::vector<Bytes>(3, Bytes{0x85, 0x12, 0x34, 0x56}));
  // A register holds at most four bytes: more is refused unsent.
  EXPECT_EQ(IFWriteSTCRegister(reader(), 5, 5, value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Frames().size(), 3u);
}

TEST_F(StcProtocol, RegisterReadTakesAnyAnswerAsTheValueAndTheRevisionIsSplitIntoNibbles) {
  script().Expect({0xC2}, {0x84});  // a reader error code, taken as the value
  UCHAR value = 0xEE;
  ASSERT_EQ(IFReadSTCRegister(reader(), 2, 1, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x84);
  EXPECT_EQ(Frames().front(), Bytes{0xC2});
  script().Expect({0xC0}, {0x23});
  ASSERT_EQ(IFGetFirmwareRevision(reader()), STATUS_SUCCESS);
  // A silent reader leaves the value and the revision as they were.
  ExpectSilence();
  value = 0xEE;
  EXPECT_EQ(IFReadSTCRegister(reader(), 4, 1, &value), STATUS_IO_TIMEOUT);
  EXPECT_EQ(value, 0xEE);
  EXPECT_EQ(IFGetFirmwareRevision(reader()), STATUS_IO_TIMEOUT);
  EXPECT_EQ(std::tuple(reader()->FirmwareMajor, reader()->FirmwareMinor), std::tuple(2, 3));
}

TEST_F(StcProtocol, DataReadDeliversExactlyTheBytesAskedWithRoomForThem) {
  script().Expect({0x40}, {0x90, 0x3B, 0x02, 0x14, 0x50, 1, 2, 3, 4, 5, 6});
  ASSERT_EQ(IFWriteSTCData(reader(), nullptr, 0), STATUS_SUCCESS);
  UCHAR buffer[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  ULONG length = sizeof(buffer);
  ASSERT_EQ(IFReadSTCData(reader(), buffer, &length, 4), STATUS_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_THAT(buffer, ElementsAre(0x3B, 0x02, 0x14, 0x50, 0xEE, 0xEE));
  // Five bytes for a room of two: they are taken and lost; the sixth is next.
  length = 2;
  EXPECT_EQ(IFReadSTCData(reader(), buffer + 4, &length, 5), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 0u);
  EXPECT_THAT(buffer, ElementsAre(0x3B, 0x02, 0x14, 0x50, 0xEE, 0xEE));
  length = 4;
  ASSERT_EQ(IFReadSTCData(reader(), buffer, &length, 1), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 6);
  // No bytes asked: none taken; more than the receive buffer holds: refused, none taken.
  for (const auto& [count, status] :
       {std::pair{0u, STATUS_SUCCESS}, {769u, STATUS_BUFFER_TOO_SMALL}}) {
    length = 4;
    EXPECT_EQ(IFReadSTCData(reader(), buffer, &length, count), status);
    EXPECT_EQ(length, 0u);
  }
}

}  // namespace
