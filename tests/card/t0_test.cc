// T=0: the procedure-byte dialogue of one command on the wire (T0_ExchangeData), the
// application's request through the library (CBT0Transmit), and dispatch by protocol.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <span>
#include <thread>

#include "support/card_bench.h"
#include "support/wait.h"

namespace {

using tolvex::testutil::BenchWait;
using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;
using tolvex::testutil::DataFrames;
using tolvex::testutil::Feeder;
using tolvex::testutil::Relayed;

constexpr UCHAR kNull = 0x60;

class T0Exchange : public tolvex::testutil::CardBenchTest {
 protected:
  void SetUp() override {
    CardBenchTest::SetUp();
    SetState(SCARD_SPECIFIC);
    card().Protocol.Selected = SCARD_PROTOCOL_T0;
  }
  // The card's bytes once the reader has taken `sent` (data for the card): 90 for each of its
  // frames, the card's bytes after the last.
  void Card(const Bytes& sent, const Bytes& card_bytes) {
    const auto frames = DataFrames(sent);
    for (size_t i = 0; i + 1 < frames.size(); ++i) script().Expect(frames[i], {STC_OK});
    script().Expect(frames.back(), Cat({STC_OK}, Relayed(card_bytes)));
  }
  NTSTATUS Exchange(const Bytes& command, ULONG le, ULONG room = 300) {
    smartcard()->T0.Le = le;
    answer_.assign(room, 0xEE);
    answer_length_ = room;
    return T0_ExchangeData(smartcard(), command.data(), static_cast<ULONG>(command.size()),
                           answer_.data(), &answer_length_);
  }
  Bytes Answer() const { return Bytes(answer_.begin(), answer_.begin() + answer_length_); }
  // An application's request: the T=0 header {1, 8} and the APDU.
  void Request(const Bytes& apdu, ULONG reply_room = 8 + 258) {
    SetIo(Cat({1, 0, 0, 0, 8, 0, 0, 0}, apdu), reply_room);
  }

  Bytes answer_;  // sized exactly, so that a write past it is caught
  ULONG answer_length_ = 0;
};

TEST_F(T0Exchange, StatusWordInPlaceOfAProcedureByteIsTheReply) {
  const Bytes header = {0x00, 0xA4, 0x00, 0x00, 0x00};
  Card(header, {0x90, 0x00});
  ASSERT_EQ(Exchange(header, 0), STATUS_SUCCESS);
  EXPECT_EQ(Answer(), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Frames(), DataFrames(header));
}

TEST_F(T0Exchange, AckIsFollowedByOneReadOfTheDataAndTheStatus) {
  // The bytes after the ACK come only once the driver waits for Le + 2 of them at once.
  const Bytes header = {0x00, 0xB0, 0x00, 0x00, 0x04};
  Card(header, {0xB0});
  Record();
  Feeder feeder(bench_, {{BenchWait(6), Relayed({0x01, 0x10, 0x03, 0x04, 0x90, 0x00})}});
  ASSERT_EQ(Exchange(header, 4), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 1u);
  EXPECT_EQ(Answer(), (Bytes{0x01, 0x10, 0x03, 0x04, 0x90, 0x00}));
}

TEST_F(T0Exchange, AckSendsAllTheCommandDataAtOnce) {
  const Bytes header = {0x00, 0xD6, 0x00, 0x00, 30};
  Bytes data(30);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(0xA0 + i);
  Card(header, {0xD6});
  Card(data, {0x90, 0x00});
  ASSERT_EQ(Exchange(Cat(header, data), 0), STATUS_SUCCESS);
  EXPECT_EQ(Answer(), (Bytes{0x90, 0x00}));
  std::vector<Bytes> expected = DataFrames(header);
  for (const Bytes& frame : DataFrames(data)) expected.push_back(frame);
  ASSERT_EQ(expected.size(), 3u);  // 24 bytes and 6
  EXPECT_EQ(Frames(), expected);
}

TEST_F(T0Exchange, NullBytesOnlyRestartTheWait) {
  const Bytes header = {0x00, 0xD6, 0x00, 0x00, 0x02};
  Card(header, {kNull, kNull, kNull, 0xD6});
  Card({0xAA, 0xBB}, Cat(Bytes(300, kNull), {0x90, 0x00}));
  ASSERT_EQ(Exchange(Cat(header, {0xAA, 0xBB}), 0), STATUS_SUCCESS);
  EXPECT_EQ(Answer(), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Frames(), (std::vector<Bytes>{Cat({0x45}, header), {0x42, 0xAA, 0xBB}}));
}

TEST_F(T0Exchange, ComplementOfInsSendsOneByteAndAckTheRest) {
  const Bytes header = {0x00, 0xD6, 0x00, 0x00, 0x04};
  Card(header, {0x29});
  Card({0xA1}, {0x29});
  Card({0xA2}, {0xD6});
  Card({0xA3, 0xA4}, {0x90, 0x00});
  ASSERT_EQ(Exchange(Cat(header, {0xA1, 0xA2, 0xA3, 0xA4}), 0), STATUS_SUCCESS);
  EXPECT_EQ(Answer(), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Frames(), (std::vector<Bytes>{
                          Cat({0x45}, header), {0x41, 0xA1}, {0x41, 0xA2}, {0x42, 0xA3, 0xA4}}));
}

TEST_F(T0Exchange, ComplementOfInsReceivesOneByteAndTheStatusInOneRead) {
  const Bytes header = {0x00, 0xB0, 0x00, 0x00, 0x03};
  Card(header, {0x4F, 0x11, 0x4F, 0x22, 0x4F, 0x33});
  Record();
  Feeder feeder(bench_, {{BenchWait(2), {0x90, 0x00}}});
  ASSERT_EQ(Exchange(header, 3), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 1u);
  EXPECT_EQ(Answer(), (Bytes{0x11, 0x22, 0x33, 0x90, 0x00}));
}

struct ProcedureCase {
  const char* name;
  Bytes header;
  ULONG le;
  Bytes card;    // after the header
  Bytes answer;  // the reply
  friend void PrintTo(const ProcedureCase& c, std::ostream* os) { *os << c.name; }
};

class ProcedureByte : public T0Exchange, public ::testing::WithParamInterface<ProcedureCase> {};

TEST_P(ProcedureByte, IsTakenForWhatItIs) {
  const ProcedureCase& c = GetParam();
  Card(c.header, c.card);
  ASSERT_EQ(Exchange(c.header, c.le), STATUS_SUCCESS);
  EXPECT_EQ(Answer(), c.answer);
  EXPECT_EQ(Frames().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ProcedureByte,
    ::testing::Values(
        ProcedureCase{"InsIsAck",
                      {0x00, 0xB0, 0x00, 0x00, 0x02},
                      2,
                      {0xB0, 0x11, 0x22, 0x90, 0x00},
                      {0x11, 0x22, 0x90, 0x00}},
        ProcedureCase{"InsPlusOneIsAckForAnEvenIns",
                      {0x00, 0xB0, 0x00, 0x00, 0x02},
                      2,
                      {0xB1, 0x11, 0x22, 0x90, 0x00},
                      {0x11, 0x22, 0x90, 0x00}},
        ProcedureCase{
            "InsIsSw1ForAnOddIns", {0x00, 0xB1, 0x00, 0x00, 0x02}, 2, {0xB1, 0x6A}, {0xB1, 0x6A}},
        ProcedureCase{"InsPlusOneIsSw1ForAnOddIns",
                      {0x00, 0xB1, 0x00, 0x00, 0x02},
                      2,
                      {0xB2, 0x6A},
                      {0xB2, 0x6A}},
        ProcedureCase{
            "MoreDataIsSw1", {0x00, 0xA4, 0x04, 0x00, 0x00}, 0, {0x61, 0x10}, {0x61, 0x10}},
        ProcedureCase{
            "WrongLengthIsSw1", {0x00, 0xB0, 0x00, 0x00, 0x08}, 8, {0x6C, 0x05}, {0x6C, 0x05}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(T0Exchange, DataByteNobodyAskedForIsAProtocolErrorAndNothingOverruns) {
  // After the whole command, with no data expected, a complement of INS would announce a data
  // byte the reply has no room for.
  const Bytes header = {0x00, 0xD6, 0x00, 0x00, 0x02};
  Card(header, {0xD6});
  Card({0xAA, 0xBB}, {0x29, 0x29, 0x29, 0x29});
  EXPECT_EQ(Exchange(Cat(header, {0xAA, 0xBB}), 0, 2), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(answer_, (Bytes{0xEE, 0xEE}));

  const Bytes alone = {0x00, 0xA4, 0x04, 0x00, 0x00};
  Card(alone, {0x5B, 0x5B, 0x5B});
  EXPECT_EQ(Exchange(alone, 0, 2), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(answer_, (Bytes{0xEE, 0xEE}));
}

TEST_F(T0Exchange, NullBytesBeyondTheMaximumEndTheExchangeAsATimeOut) {
  // The card sends `nulls` NULL bytes, a hundred at a time as the receive buffer drains, and
  // then 90 00: a status the driver reaches only if it has not given up before.
  reader()->ReadTotalTimeout = 5000;  // no read should run out while the bytes come
  // The NULL bytes go after the reader's 90 for the header: once the scripted reader has sent
  // it.
  std::atomic<bool> answered{false};
  bench_.line().SetListener([&](std::span<const UCHAR> frame) {
    script().HostWrote(frame);
    answered = true;
  });
  const Bytes header = {0x00, 0xA4, 0x04, 0x00, 0x00};
  for (const auto& [nulls, status] : {std::pair{T0_MAXIMUM_NULL_BYTES, STATUS_SUCCESS},
                                      std::pair{T0_MAXIMUM_NULL_BYTES + 1, STATUS_IO_TIMEOUT}}) {
    Card(header, {});
    answered = false;
    std::thread card([&, count = nulls] {
      tolvex::platform::PlatformScope scope(bench_.platform());
      if (!tolvex::testutil::WaitUntil([&] { return answered.load(); })) return;
      for (ULONG sent = 0; sent < count;) {
        if (!tolvex::testutil::WaitUntil(
                [&] { return Received() + bench_.port().receive_queue() <= 200; })) {
          return;
        }
        const ULONG n = std::min<ULONG>(100, count - sent);
        bench_.line().Send(Bytes(n, kNull));
        sent += n;
      }
      bench_.line().Send({0x90, 0x00});
    });
    EXPECT_EQ(Exchange(header, 0), status) << nulls;
    card.join();
    ReaderAnswersEverything();
  }
  bench_.line().SetListener([this](std::span<const UCHAR> frame) { script().HostWrote(frame); });
}

TEST_F(T0Exchange, DamagedStatusByteSwitchesTheCardOff) {
  Request({0x00, 0xA4, 0x04, 0x00});
  script().Expect({0x45, 0x00, 0xA4, 0x04, 0x00, 0x00},
                  {STC_OK, 0x90, STC_ESCAPE, STC_CHARACTER_ERROR});
  EXPECT_EQ(CBT0Transmit(smartcard()), STATUS_IO_TIMEOUT);
  EXPECT_EQ(Frames().back(), (Bytes{0x84, 0x00}));
  EXPECT_EQ(State(), SCARD_PRESENT);
  EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
}

TEST_F(T0Exchange, ApplicationCommandGoesOutAsAT0CommandAndComesBackWithItsHeader) {
  // Case 4: sent as case 3, the card tells of its data with 61xx.
  Request({0x80, 0xEE, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x00});
  Card({0x80, 0xEE, 0x00, 0x00, 0x02}, {0xEE});
  Card({0xAA, 0xBB}, {0x61, 0x02});
  ASSERT_EQ(CBT0Transmit(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(Io(10), (Bytes{1, 0, 0, 0, 8, 0, 0, 0, 0x61, 0x02}));
  EXPECT_EQ(information_, 10u);
  // Case 2: P3 is Le.
  Request({0x00, 0x84, 0x00, 0x00, 0x04});
  Card({0x00, 0x84, 0x00, 0x00, 0x04}, {0x84, 0x01, 0x02, 0x03, 0x04, 0x90, 0x00});
  ASSERT_EQ(CBT0Transmit(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(Io(14), (Bytes{1, 0, 0, 0, 8, 0, 0, 0, 1, 2, 3, 4, 0x90, 0x00}));
  EXPECT_EQ(information_, 14u);
}

TEST_F(T0Exchange, ProtocolOtherThanT0OrT1IsNotSent) {
  Request({0x00, 0xA4, 0x04, 0x00});
  for (const auto& [protocol, status] :
       {std::pair{SCARD_PROTOCOL_RAW, STATUS_UNSUCCESSFUL},
        std::pair{SCARD_PROTOCOL_UNDEFINED, STATUS_INVALID_DEVICE_REQUEST},
        std::pair{ULONG{4}, STATUS_INVALID_DEVICE_REQUEST}}) {
    card().Protocol.Selected = protocol;
    EXPECT_EQ(CBTransmit(smartcard()), status) << protocol;
  }
  EXPECT_TRUE(Frames().empty());
}

}  // namespace
