// The STC command protocol: the frames on the wire and how the reader's answers are judged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/link_bench.h"
#include "support/wait.h"

namespace {

using ::testing::ElementsAre;
using tolvex::host::LinkBench;
using tolvex::platform::PlatformScope;
using tolvex::platform::SpinLockGuard;
using Bytes = std::vector<UCHAR>;

class StcProtocol : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(bench_.Start(), STATUS_SUCCESS); }
  PREADER_EXTENSION reader() { return bench_.reader(); }
  std::vector<Bytes> Frames() { return bench_.script().frames(); }

  LinkBench bench_;
  PlatformScope scope_{bench_.platform()};
};

TEST_F(StcProtocol, RegisterWriteSendsCommandAndValueAndNeedsTheSuccessCode) {
  const UCHAR value[] = {0x12, 0x34, 0x56};
  bench_.script().Expect({0x85, 0x12, 0x34, 0x56}, {0x90});
  EXPECT_EQ(IFWriteSTCRegister(reader(), 5, 3, value), STATUS_SUCCESS);
  bench_.script().Expect({0x85, 0x12, 0x34, 0x56}, {0x88});
  EXPECT_EQ(IFWriteSTCRegister(reader(), 5, 3, value), STATUS_DATA_ERROR);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0x85, 0x12, 0x34, 0x56}, Bytes{0x85, 0x12, 0x34, 0x56}));
}

TEST_F(StcProtocol, RegisterWriteWithoutAnswerTimesOut) {
  const UCHAR value = 0x00;
  EXPECT_EQ(IFWriteSTCRegister(reader(), 4, 1, &value), STATUS_IO_TIMEOUT);
}

TEST_F(StcProtocol, RegisterWriteOfMoreThanFourBytesIsRefusedUnsent) {
  const UCHAR value[5] = {};
  EXPECT_EQ(IFWriteSTCRegister(reader(), 5, 5, value), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Frames().empty());
}

TEST_F(StcProtocol, RegisterReadSendsOneByteAndTakesAnyAnswerAsTheValue) {
  for (UCHAR answer : {UCHAR{0x4F}, UCHAR{0x90}, UCHAR{0x00}, UCHAR{0x84}}) {
    bench_.script().Expect({0xC2}, {answer});
    UCHAR value = 0xEE;
    ASSERT_EQ(IFReadSTCRegister(reader(), 2, 1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, answer);
  }
  EXPECT_EQ(Frames().front(), Bytes{0xC2});
}

TEST_F(StcProtocol, RegisterReadWithoutAnswerLeavesTheValueAlone) {
  UCHAR value = 0xEE;
  EXPECT_EQ(IFReadSTCRegister(reader(), 4, 1, &value), STATUS_IO_TIMEOUT);
  EXPECT_EQ(value, 0xEE);
}

TEST_F(StcProtocol, FirmwareRevisionIsSplitIntoNibbles) {
  bench_.script().Expect({0xC0}, {0x23});
  ASSERT_EQ(IFGetFirmwareRevision(reader()), STATUS_SUCCESS);
  EXPECT_EQ(reader()->FirmwareMajor, 2);
  EXPECT_EQ(reader()->FirmwareMinor, 3);
  // A silent reader leaves the revision as it was.
  EXPECT_EQ(IFGetFirmwareRevision(reader()), STATUS_IO_TIMEOUT);
  EXPECT_EQ(reader()->FirmwareMajor, 2);
  EXPECT_EQ(reader()->FirmwareMinor, 3);
}

struct DataWriteCase {
  ULONG length;
  std::vector<ULONG> frame_sizes;
};

class StcDataWrite : public StcProtocol, public ::testing::WithParamInterface<DataWriteCase> {};

TEST_P(StcDataWrite, SplitsDataIntoFramesOfAtMost24Bytes) {
  const DataWriteCase& c = GetParam();
  Bytes data(c.length);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(i + 1);
  bench_.script().Default({0x90});
  ASSERT_EQ(IFWriteSTCData(reader(), data.data(), c.length), STATUS_SUCCESS);
  const auto frames = Frames();
  ASSERT_EQ(frames.size(), c.frame_sizes.size());
  size_t offset = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const ULONG n = c.frame_sizes[i];
    ASSERT_EQ(frames[i].size(), n + 1);
    EXPECT_EQ(frames[i][0], 0x40 | n);
    EXPECT_TRUE(std::equal(frames[i].begin() + 1, frames[i].end(), data.begin() + offset));
    offset += n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, StcDataWrite,
    ::testing::Values(DataWriteCase{0, {0}}, DataWriteCase{1, {1}}, DataWriteCase{24, {24}},
                      DataWriteCase{25, {24, 1}}, DataWriteCase{50, {24, 24, 2}},
                      DataWriteCase{258, {24, 24, 24, 24, 24, 24, 24, 24, 24, 24, 18}}));

TEST_F(StcProtocol, DataFrameAnsweredWithCharacterErrorCountsAsTaken) {
  bench_.script().Expect({0x58}, {0x88});
  Bytes data(25, 0x33);
  bench_.script().Default({0x90});
  // The first frame is 0x58 plus 24 bytes, so the rule above does not match; use exact frames.
  bench_.script().Clear();
  Bytes first{0x58};
  first.insert(first.end(), 24, 0x33);
  bench_.script().Expect(first, {0x88});
  bench_.script().Expect({0x41, 0x33}, {0x90});
  EXPECT_EQ(IFWriteSTCData(reader(), data.data(), 25), STATUS_SUCCESS);
  EXPECT_EQ(Frames().size(), 2u);
}

TEST_F(StcProtocol, RefusedDataFrameStopsTheWrite) {
  Bytes data(60, 0x21);
  Bytes full{0x58};
  full.insert(full.end(), 24, 0x21);
  bench_.script().Expect(full, {0x90});
  bench_.script().Expect(full, {0x84});  // the second frame refused
  EXPECT_EQ(IFWriteSTCData(reader(), data.data(), 60), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Frames().size(), 2u);  // the third is not sent
}

TEST_F(StcProtocol, UnansweredDataFrameReturnsTheReadStatus) {
  const UCHAR data[] = {1, 2, 3};
  EXPECT_EQ(IFWriteSTCData(reader(), data, 3), STATUS_IO_TIMEOUT);
}

TEST_F(StcProtocol, WriteThatCannotBeBuiltReadsNoAnswer) {
  bench_.platform().pool().FailAllocations(PoolTag("Irp "), 0);
  bench_.platform().clock().StartRecording();
  UCHAR value = 0;
  EXPECT_EQ(IFReadSTCRegister(reader(), 0, 1, &value), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(bench_.platform().clock().WaitsMs(std::this_thread::get_id()).empty());
  EXPECT_TRUE(Frames().empty());
}

TEST_F(StcProtocol, DataReadDeliversExactlyTheBytesAsked) {
  bench_.script().Expect({0x40}, {0x90, 0x3B, 0x02, 0x14, 0x50});
  ASSERT_EQ(IFWriteSTCData(reader(), nullptr, 0), STATUS_SUCCESS);
  UCHAR atr[8] = {};
  ULONG length = sizeof(atr);
  ASSERT_EQ(IFReadSTCData(reader(), atr, &length, 2), STATUS_SUCCESS);
  EXPECT_EQ(length, 2u);
  EXPECT_THAT(Bytes(atr, atr + 2), ElementsAre(0x3B, 0x02));
  length = sizeof(atr);
  ASSERT_EQ(IFReadSTCData(reader(), atr, &length, 2), STATUS_SUCCESS);
  EXPECT_THAT(Bytes(atr, atr + 2), ElementsAre(0x14, 0x50));
}

TEST_F(StcProtocol, DataReadOfNothingReadsNothing) {
  UCHAR buffer[1];
  ULONG length = 1;
  EXPECT_EQ(IFReadSTCData(reader(), buffer, &length, 0), STATUS_SUCCESS);
  EXPECT_EQ(length, 0u);
}

TEST_F(StcProtocol, DataReadLargerThanTheCallersRoomLosesTheBytes) {
  bench_.script().Expect({0x40}, {0x90, 1, 2, 3, 4, 5, 6});
  ASSERT_EQ(IFWriteSTCData(reader(), nullptr, 0), STATUS_SUCCESS);
  UCHAR buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  ULONG length = 4;
  EXPECT_EQ(IFReadSTCData(reader(), buffer, &length, 5), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 0u);
  EXPECT_THAT(Bytes(buffer, buffer + 4), ElementsAre(0xEE, 0xEE, 0xEE, 0xEE));
  // The five bytes were taken; the sixth is next.
  length = 4;
  ASSERT_EQ(IFReadSTCData(reader(), buffer, &length, 1), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 6);
}

TEST_F(StcProtocol, DataReadThatFailsDeliversNothing) {
  UCHAR buffer[4];
  ULONG length = 4;
  EXPECT_EQ(IFReadSTCData(reader(), buffer, &length, 2), STATUS_IO_TIMEOUT);
  EXPECT_EQ(length, 0u);
  length = 4;
  EXPECT_EQ(IFReadSTCData(reader(), buffer, &length, 5000), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 0u);
}

TEST_F(StcProtocol, LeftoverBytesAreNeverTakenForTheNextAnswer) {
  bench_.script().Expect({0xC4}, {0x01, 0x77, 0x78});  // an answer with stray bytes behind it
  UCHAR value = 0;
  ASSERT_EQ(IFReadSTCRegister(reader(), 4, 1, &value), STATUS_SUCCESS);
  ASSERT_TRUE(tolvex::testutil::WaitUntil([&] {
    SpinLockGuard lock(&reader()->ReceiveLock);
    return reader()->ReceivedCount == 2;
  }));
  bench_.script().Expect({0xC1}, {0x0D});
  ASSERT_EQ(IFReadSTCRegister(reader(), 1, 1, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x0D);
}

}  // namespace
