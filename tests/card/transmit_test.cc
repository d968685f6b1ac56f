// Commands to the card. T=0: the procedure-byte dialogue of one command on the wire
// (T0_ExchangeData), the application's request through the library (CBT0Transmit), and dispatch
// by protocol. T=1: how the driver moves the library's blocks to the card and the card's blocks
// back (the reads of each block, the waiting time extension, the card's IFS request, damaged
// characters), with the library's own block engine turning the crank.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <span>
#include <sstream>
#include <string>
#include <thread>

#include "sim/t1_block.h"
#include "smclib/t1.h"
#include "support/card_bench.h"
#include "support/wait.h"

namespace {

using ::testing::ElementsAre;
using tolvex::testutil::BenchWait;
using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;
using tolvex::testutil::DataFrames;
using tolvex::testutil::Feeder;
using tolvex::testutil::Hex;
using tolvex::testutil::kBenchInterval;
using tolvex::testutil::Relayed;
namespace t1 = tolvex::sim::t1;

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
  void Request(const Bytes& apdu) { SetIo(Cat({1, 0, 0, 0, 8, 0, 0, 0}, apdu), 8 + 258); }

  Bytes answer_;  // sized exactly, so that a write past it is caught
  ULONG answer_length_ = 0;
};

// One T=0 command's dialogue, written out in hex: what the driver sends, step by step, each
// with the card's bytes once the reader has taken it ("sent : card / sent : card"), the command
// being all that is sent; then the outcome.
struct DialogueCase {
  const char* name;
  ULONG le;
  const char* steps;
  NTSTATUS status;
  const char* answer;  // the reply; on failure, nothing is written to it
  ULONG room = 300;
  const char* command = "";  // for a command refused before anything is sent
  friend void PrintTo(const DialogueCase& c, std::ostream* os) { *os << c.name; }
};

class T0Dialogue : public T0Exchange, public ::testing::WithParamInterface<DialogueCase> {};

TEST_P(T0Dialogue, SendsWhatTheProcedureBytesAskAndRepliesWithTheCardsBytes) {
  const DialogueCase& c = GetParam();
  Bytes command = Hex(c.command);
  std::vector<Bytes> frames;
  std::istringstream steps(c.steps);
  for (std::string step; std::getline(steps, step, '/');) {
    const size_t colon = step.find(':');
    const Bytes sent = Hex(step.substr(0, colon));
    Card(sent, Hex(step.substr(colon + 1)));
    command = Cat(command, sent);
    for (const Bytes& frame : DataFrames(sent)) frames.push_back(frame);
  }
  ASSERT_EQ(Exchange(command, c.le, c.room), c.status);
  if (c.status == STATUS_SUCCESS) {
    EXPECT_EQ(Answer(), Hex(c.answer));
  } else {
    EXPECT_EQ(answer_, Bytes(c.room, 0xEE));
  }
  EXPECT_EQ(Frames(), frames);
}

constexpr NTSTATUS kOk = STATUS_SUCCESS, kProtocolError = STATUS_DEVICE_PROTOCOL_ERROR;

const DialogueCase kDialogues[] = {
    {"StatusWordInPlaceOfAProcedureByteIsTheReply", 0, "00A4000000 : 90 00", kOk, "90 00"},
    // 30 bytes, in 24 and 6.
    {"AckSendsAllTheCommandDataAtOnce", 0,
     "00D600001E : D6 / A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBD : 90 00", kOk,
     "90 00"},
    {"NullBytesOnlyRestartTheWait", 0, "00D6000002 : 60 60 60 D6 / AA BB : 60*300 90 00", kOk,
     "90 00"},
    {"ComplementOfInsSendsOneByteAndAckTheRest", 0,
     "00D6000004 : 29 / A1 : 29 / A2 : D6 / A3 A4 : 90 00", kOk, "90 00"},
    {"InsPlusOneIsAckForAnEvenIns", 2, "00B0000002 : B1 11 22 90 00", kOk, "11 22 90 00"},
    {"InsIsSw1ForAnOddIns", 2, "00B1000002 : B1 6A", kOk, "B1 6A"},
    {"InsPlusOneIsSw1ForAnOddIns", 2, "00B1000002 : B2 6A", kOk, "B2 6A"},
    // After the whole command, with no data expected, a complement of INS would announce a data
    // byte the reply has no room for.
    {"DataByteNobodyAskedForAfterTheData", 0, "00D6000002 : D6 / AA BB : 29 29 29 29",
     kProtocolError, "", 2},
    {"DataByteNobodyAskedForAfterTheHeader", 0, "00A4040000 : 5B 5B 5B", kProtocolError, "", 2},
    {"CommandShorterThanAHeader", 0, "", STATUS_INVALID_PARAMETER, "", 300, "00 A4 04 00"},
    {"NoRoomForAStatusWord", 0, "", STATUS_INVALID_PARAMETER, "", 1, "00 A4 04 00 00"},
};

INSTANTIATE_TEST_SUITE_P(T0Commands, T0Dialogue, ::testing::ValuesIn(kDialogues),
                         [](const auto& test) { return std::string(test.param.name); });

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

const Bytes kBlockEnd = {STC_ESCAPE, STC_BLOCK_END};
const Bytes kReadEight = {0x00, 0xB0, 0x00, 0x00, 0x08};
const Bytes kEightAndOk = {1, 2, 3, 0x10, 5, 6, 7, 8, 0x90, 0x00};

class T1Exchange : public tolvex::testutil::CardBenchTest {
 protected:
  void SetUp() override {
    CardBenchTest::SetUp();
    SetState(SCARD_SPECIFIC);
    card().Protocol.Selected = SCARD_PROTOCOL_T1;
    card().T1.IFSC = 32;
    Restart(T1_EDC_LRC);
  }
  // A fresh exchange with the card, which has had our IFSD: the request reads eight bytes.
  void Restart(UCHAR edc) {
    card().T1.EDC = edc;
    SmartcardT1Reset(smartcard());
    smartcard()->T1.IfsdAnnounced = TRUE;
    Request(kReadEight);
    ReaderAnswersEverything();
  }
  // A block with the card's error detection code.
  Bytes Block(UCHAR pcb, const Bytes& inf = {}) {
    return t1::Encode(t1::Block{0, pcb, inf},
                      card().T1.EDC == T1_EDC_CRC ? t1::Edc::kCrc : t1::Edc::kLrc);
  }
  // A block as the card says it: relayed, and the reader's end-of-block report after it.
  static Bytes Said(const Bytes& block) { return Cat(Relayed(block), kBlockEnd); }
  // What the reader sends once the driver has written `block`: 90 for each frame, `wire` after
  // the last.
  void Card(const Bytes& block, const Bytes& wire) {
    const auto frames = DataFrames(block);
    for (size_t i = 0; i + 1 < frames.size(); ++i) script().Expect(frames[i], {});
    script().Expect(frames.back(), Cat({STC_OK}, wire));
  }
  void Request(const Bytes& apdu) { SetIo(Cat({2, 0, 0, 0, 8, 0, 0, 0}, apdu), 8 + 258); }
  NTSTATUS Transmit() { return CBT1Transmit(smartcard()); }
  // The response the application got, behind its header.
  Bytes Response() {
    EXPECT_GE(information_, 8u);
    if (information_ < 8) return {};
    EXPECT_EQ(Io(8), (Bytes{2, 0, 0, 0, 8, 0, 0, 0}));
    return Bytes(io_.begin() + 8, io_.begin() + static_cast<std::ptrdiff_t>(information_));
  }
};

// The card's block arrives piece by piece as the driver waits: the prologue, then the rest
// (LEN 10 and the EDC), then the end-of-block report, awaited for the read interval.
TEST_F(T1Exchange, PrologueThenTheRestThenTheBlockEnd) {
  for (const UCHAR edc : {T1_EDC_LRC, T1_EDC_CRC}) {
    Restart(edc);
    const Bytes answer = Block(0x00, kEightAndOk);
    const Bytes rest = Relayed(Bytes(answer.begin() + 3, answer.end()));
    Card(Block(0x00, kReadEight), {});
    Record();
    Feeder feeder(bench_, {{BenchWait(3), Relayed(Bytes(answer.begin(), answer.begin() + 3))},
                           {BenchWait(edc == T1_EDC_CRC ? 12 : 11), rest},
                           {kBenchInterval, kBlockEnd}});
    ASSERT_EQ(Transmit(), STATUS_SUCCESS);
    EXPECT_EQ(feeder.done(), 3u);
    EXPECT_EQ(Response(), kEightAndOk);
  }
}

TEST_F(T1Exchange, WaitingTimeExtensionEndsAlsoWhenNoBlockCame) {
  reader()->ReadTotalTimeout = 500;
  Card(Block(0x00, kReadEight), Said(Block(0xC3, {0x03})));
  Card(Block(0xE3, {0x03}), {});  // and nothing from the card in 1650 ms
  Card(Block(0x82), {});
  Record();
  // The library asks again; that block's answer is awaited 50 x 3 + 500 again.
  Feeder feeder(bench_, {{1650, {}}, {650, Said(Block(0x00, kEightAndOk))}});
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 2u);
  EXPECT_EQ(reader()->ReadTotalTimeout, 500u);
  EXPECT_EQ(smartcard()->T1.Wtx, 0);
}

TEST_F(T1Exchange, IfsResponseIsSentAsPartOfTheIBlockExchange) {
  // The library hands over S(IFS response) with T1.State E1 and the I-block exchange as the
  // original state; the driver sends it with the state set back to the I-block's.
  const Bytes response = DataFrames(Block(0xE1, {0x20})).front();
  std::atomic<ULONG> state_sent{0};
  bench_.line().SetListener([&](std::span<const UCHAR> frame) {
    if (Bytes(frame.begin(), frame.end()) == response) state_sent = smartcard()->T1.State;
    script().HostWrote(frame);
  });
  Card(Block(0x00, kReadEight), Said(Block(0xC1, {0x20})));
  Card(Block(0xE1, {0x20}), Said(Block(0x00, kEightAndOk)));
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(state_sent.load(), T1_I_BLOCK);
  EXPECT_EQ(Response(), kEightAndOk);
}

TEST_F(T1Exchange, DamagedCharacterFailsTheLibrarysCheckEvenWhenItsPlaceHolderFits) {
  // The damaged character was a 00, which its place holder matches: the LRC alone would pass.
  const Bytes answer = Block(0x00, {0x00, 0x01, 0x90, 0x00});
  Bytes damaged(answer.begin(), answer.begin() + 3);
  damaged.insert(damaged.end(), {STC_ESCAPE, STC_CHARACTER_ERROR});
  // No end-of-block report: the driver does not wait for one after a damaged character.
  Card(Block(0x00, kReadEight), Cat(damaged, Relayed(Bytes(answer.begin() + 4, answer.end()))));
  Card(Block(0x81), Said(answer));  // R(0, EDC error): the card sends it again
  Record();
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_THAT(Delays(), ElementsAre(254));
  EXPECT_EQ(Response(), (Bytes{0x00, 0x01, 0x90, 0x00}));
  EXPECT_EQ(Frames().size(), 2u);
}

}  // namespace
