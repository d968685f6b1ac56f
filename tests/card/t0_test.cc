// T=0: the procedure-byte dialogue of one command on the wire (T0_ExchangeData), the
// application's request through the library (CBT0Transmit), and dispatch by protocol.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <span>
#include <sstream>
#include <string>
#include <thread>

#include "support/card_bench.h"
#include "support/wait.h"

namespace {

using tolvex::testutil::BenchWait;
using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;
using tolvex::testutil::DataFrames;
using tolvex::testutil::Feeder;
using tolvex::testutil::Hex;
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

// One T=0 command's dialogue, written out in hex: what the driver sends, step by step, each
// with the card's bytes once the reader has taken it ("sent : card / sent : card"); then the
// outcome.
struct DialogueCase {
  const char* name;
  const char* command;
  ULONG le;
  const char* steps;
  NTSTATUS status;
  const char* answer;  // the reply; on failure, nothing is written to it
  ULONG room = 300;
  friend void PrintTo(const DialogueCase& c, std::ostream* os) { *os << c.name; }
};

class T0Dialogue : public T0Exchange, public ::testing::WithParamInterface<DialogueCase> {};

TEST_P(T0Dialogue, SendsWhatTheProcedureBytesAskAndRepliesWithTheCardsBytes) {
  const DialogueCase& c = GetParam();
  std::vector<Bytes> frames;
  std::istringstream steps(c.steps);
  for (std::string step; std::getline(steps, step, '/');) {
    const size_t colon = step.find(':');
    const Bytes sent = Hex(step.substr(0, colon));
    Card(sent, Hex(step.substr(colon + 1)));
    for (const Bytes& frame : DataFrames(sent)) frames.push_back(frame);
  }
  ASSERT_EQ(Exchange(Hex(c.command), c.le, c.room), c.status);
  if (c.status == STATUS_SUCCESS) {
    EXPECT_EQ(Answer(), Hex(c.answer));
  } else {
    EXPECT_EQ(answer_, Bytes(c.room, 0xEE));
  }
  EXPECT_EQ(Frames(), frames);
}

const DialogueCase kDialogues[] = {
    {"StatusWordInPlaceOfAProcedureByteIsTheReply", "00 A4 00 00 00", 0, "00 A4 00 00 00 : 90 00",
     STATUS_SUCCESS, "90 00"},
    // 30 bytes, in 24 and 6.
    {"AckSendsAllTheCommandDataAtOnce",
     "00 D6 00 00 1E A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF B0 B1 B2 B3 B4 B5 B6 B7 B8 B9 "
     "BA BB BC BD",
     0,
     "00 D6 00 00 1E : D6 / A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF B0 B1 B2 B3 B4 B5 B6 "
     "B7 B8 B9 BA BB BC BD : 90 00",
     STATUS_SUCCESS, "90 00"},
    {"NullBytesOnlyRestartTheWait", "00 D6 00 00 02 AA BB", 0,
     "00 D6 00 00 02 : 60 60 60 D6 / AA BB : 60*300 90 00", STATUS_SUCCESS, "90 00"},
    {"ComplementOfInsSendsOneByteAndAckTheRest", "00 D6 00 00 04 A1 A2 A3 A4", 0,
     "00 D6 00 00 04 : 29 / A1 : 29 / A2 : D6 / A3 A4 : 90 00", STATUS_SUCCESS, "90 00"},
    {"InsIsAck", "00 B0 00 00 02", 2, "00 B0 00 00 02 : B0 11 22 90 00", STATUS_SUCCESS,
     "11 22 90 00"},
    {"InsPlusOneIsAckForAnEvenIns", "00 B0 00 00 02", 2, "00 B0 00 00 02 : B1 11 22 90 00",
     STATUS_SUCCESS, "11 22 90 00"},
    {"InsIsSw1ForAnOddIns", "00 B1 00 00 02", 2, "00 B1 00 00 02 : B1 6A", STATUS_SUCCESS, "B1 6A"},
    {"InsPlusOneIsSw1ForAnOddIns", "00 B1 00 00 02", 2, "00 B1 00 00 02 : B2 6A", STATUS_SUCCESS,
     "B2 6A"},
    {"MoreDataIsSw1", "00 A4 04 00 00", 0, "00 A4 04 00 00 : 61 10", STATUS_SUCCESS, "61 10"},
    {"WrongLengthIsSw1", "00 B0 00 00 08", 8, "00 B0 00 00 08 : 6C 05", STATUS_SUCCESS, "6C 05"},
    // After the whole command, with no data expected, a complement of INS would announce a data
    // byte the reply has no room for.
    {"DataByteNobodyAskedForAfterTheData", "00 D6 00 00 02 AA BB", 0,
     "00 D6 00 00 02 : D6 / AA BB : 29 29 29 29", STATUS_DEVICE_PROTOCOL_ERROR, "", 2},
    {"DataByteNobodyAskedForAfterTheHeader", "00 A4 04 00 00", 0, "00 A4 04 00 00 : 5B 5B 5B",
     STATUS_DEVICE_PROTOCOL_ERROR, "", 2},
    {"CommandShorterThanAHeader", "00 A4 04 00", 0, "", STATUS_INVALID_PARAMETER, ""},
    {"NoRoomForAStatusWord", "00 A4 04 00 00", 0, "", STATUS_INVALID_PARAMETER, "", 1},
};

INSTANTIATE_TEST_SUITE_P(T0Commands, T0Dialogue, ::testing::ValuesIn(kDialogues),
                         [](const auto& test) { return std::string(test.param.name); });

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

TEST_F(T0Exchange, ComplementOfInsReceivesOneByteAndTheStatusInOneRead) {
  const Bytes header = {0x00, 0xB0, 0x00, 0x00, 0x03};
  Card(header, {0x4F, 0x11, 0x4F, 0x22, 0x4F, 0x33});
  Record();
  Feeder feeder(bench_, {{BenchWait(2), {0x90, 0x00}}});
  ASSERT_EQ(Exchange(header, 3), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 1u);
  EXPECT_EQ(Answer(), (Bytes{0x11, 0x22, 0x33, 0x90, 0x00}));
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
