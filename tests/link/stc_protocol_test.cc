// The STC command protocol: the frames on the wire and how the reader's answers are judged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/card_bench.h"

namespace {

using ::testing::ElementsAre;
using tolvex::testutil::Bytes;

using StcProtocol = tolvex::testutil::LinkBenchTest;

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

TEST_F(StcProtocol, RegisterReadSendsOneByteAndTakesAnyAnswerAsTheValue) {
  for (UCHAR answer : {UCHAR{0x4F}, UCHAR{0x90}, UCHAR{0x00}, UCHAR{0x84}}) {
    script().Expect({0xC2}, {answer});
    UCHAR value = 0xEE;
    ASSERT_EQ(IFReadSTCRegister(reader(), 2, 1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, answer);
  }
  EXPECT_EQ(Frames().front(), Bytes{0xC2});
  ExpectSilence();
  UCHAR value = 0xEE;  // a silent reader leaves it alone
  EXPECT_EQ(IFReadSTCRegister(reader(), 4, 1, &value), STATUS_IO_TIMEOUT);
  EXPECT_EQ(value, 0xEE);
}

TEST_F(StcProtocol, FirmwareRevisionIsSplitIntoNibbles) {
  script().Expect({0xC0}, {0x23});
  ASSERT_EQ(IFGetFirmwareRevision(reader()), STATUS_SUCCESS);
  // A silent reader leaves the revision as it was.
  ExpectSilence();
  EXPECT_EQ(IFGetFirmwareRevision(reader()), STATUS_IO_TIMEOUT);
  EXPECT_EQ(reader()->FirmwareMajor, 2);
  EXPECT_EQ(reader()->FirmwareMinor, 3);
}

TEST_F(StcProtocol, DataWriteSplitsDataIntoFramesOfAtMost24Bytes) {
  const std::pair<ULONG, std::vector<ULONG>> cases[] = {
      {0, {0}}, {24, {24}}, {25, {24, 1}}, {258, {24, 24, 24, 24, 24, 24, 24, 24, 24, 24, 18}}};
  for (const auto& [length, frame_sizes] : cases) {
    Bytes data(length);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(i + 1);
    script().Clear();
    script().Default({0x90});
    ASSERT_EQ(IFWriteSTCData(reader(), data.data(), length), STATUS_SUCCESS);
    std::vector<Bytes> expected;
    auto next = data.begin();
    for (ULONG n : frame_sizes) {
      expected.push_back(
          tolvex::testutil::Cat({static_cast<UCHAR>(0x40 | n)}, Bytes(next, next + n)));
      next += n;
    }
    EXPECT_EQ(Frames(), expected) << length;
  }
}

TEST_F(StcProtocol, DataWriteGoesOnWhileTheReaderTakesEachFrame) {
  // 0x88 (a character error on the card's side) still takes the frame; any other answer but
  // 0x90 stops the write, as does silence, whose read status is returned.
  const Bytes full = tolvex::testutil::Cat({0x58}, Bytes(24, 0x33));
  const Bytes data(60, 0x33);
  const struct {
    Bytes second_answer;
    NTSTATUS status;
    size_t frames;
  } cases[] = {
      {{0x88}, STATUS_SUCCESS, 3}, {{0x84}, STATUS_UNSUCCESSFUL, 2}, {{}, STATUS_IO_TIMEOUT, 2}};
  for (const auto& c : cases) {
    if (c.second_answer.empty()) ExpectSilence();
    script().Clear();
    script().Expect(full, {0x90});
    script().Expect(full, c.second_answer);
    script().Default({0x90});
    EXPECT_EQ(IFWriteSTCData(reader(), data.data(), 60), c.status);
    EXPECT_EQ(Frames().size(), c.frames);
  }
}

TEST_F(StcProtocol, DataReadDeliversExactlyTheBytesAskedWithRoomForThem) {
  script().Expect({0x40}, {0x90, 0x3B, 0x02, 0x14, 0x50, 1, 2, 3, 4, 5, 6});
  ASSERT_EQ(IFWriteSTCData(reader(), nullptr, 0), STATUS_SUCCESS);
  UCHAR buffer[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  ULONG length = sizeof(buffer);
  ASSERT_EQ(IFReadSTCData(reader(), buffer, &length, 2), STATUS_SUCCESS);
  EXPECT_EQ(length, 2u);
  length = 2;
  ASSERT_EQ(IFReadSTCData(reader(), buffer + 2, &length, 2), STATUS_SUCCESS);
  EXPECT_THAT(buffer, ElementsAre(0x3B, 0x02, 0x14, 0x50, 0xEE, 0xEE, 0xEE, 0xEE));
  // Five bytes for a room of four: they are taken and lost; the sixth is next.
  length = 4;
  EXPECT_EQ(IFReadSTCData(reader(), buffer + 4, &length, 5), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 0u);
  EXPECT_THAT(buffer, ElementsAre(0x3B, 0x02, 0x14, 0x50, 0xEE, 0xEE, 0xEE, 0xEE));
  length = 4;
  ASSERT_EQ(IFReadSTCData(reader(), buffer, &length, 1), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 6);
}

TEST_F(StcProtocol, DataReadOfNothingOrThatFailsDeliversNothing) {
  const struct {
    ULONG count;
    NTSTATUS status;
  } cases[] = {{0, STATUS_SUCCESS}, {2, STATUS_IO_TIMEOUT}, {5000, STATUS_BUFFER_TOO_SMALL}};
  ExpectSilence();
  for (const auto& c : cases) {
    UCHAR buffer[4];
    ULONG length = 4;
    EXPECT_EQ(IFReadSTCData(reader(), buffer, &length, c.count), c.status) << c.count;
    EXPECT_EQ(length, 0u) << c.count;
  }
}

}  // namespace
