// Commands to the card. T=0: NULL bytes restarting the wait for the card, up to a limit. T=1: how
// the driver moves the library's blocks to the card and the card's blocks back (the reads of each
// block, the card's IFS request, damaged characters), with the library's own block engine turning
// the crank.
#include <gtest/gtest.h>

#include <atomic>
#include <span>
#include <thread>
#include <tuple>
#include <vector>

#include "sim/t1_block.h"
#include "smclib/t1.h"
#include "support/card_bench.h"
#include "support/wait.h"

namespace {

using tolvex::testutil::BenchWait;
using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;
using tolvex::testutil::DataFrames;
using tolvex::testutil::Feeder;
using tolvex::testutil::Hex;
using tolvex::testutil::kBenchInterval;
using tolvex::testutil::kBenchTotal;
using tolvex::testutil::Relayed;
using tolvex::testutil::WaitUntil;
using tolvex::testutil::Wire;
namespace t1 = tolvex::sim::t1;

class T0Exchange : public tolvex::testutil::CardBenchTest {};

TEST_F(T0Exchange, NullBytesBeyondTheMaximumEndTheExchangeAsATimeOut) {
  // The card sends `nulls` NULL bytes, a hundred at a time as the receive buffer drains, and
  // then 90 00: a status the driver reaches only if it has not given up before.
  SetState(SCARD_SPECIFIC);
  card().Protocol.Selected = SCARD_PROTOCOL_T0;
  reader()->ReadTotalTimeout = 5000;  // no read should run out while the bytes come
  // The NULL bytes go once the scripted reader has sent its 90 for the header.
  std::atomic<bool> answered{false};
  bench_.line().SetListener([&](std::span<const UCHAR> frame) {
    script().HostWrote(frame);
    answered = true;
  });
  const Bytes header = {0x00, 0xA4, 0x04, 0x00, 0x00};
  for (const auto& [nulls, status] : {std::pair{T0_MAXIMUM_NULL_BYTES, STATUS_SUCCESS},
                                      std::pair{T0_MAXIMUM_NULL_BYTES + 1, STATUS_IO_TIMEOUT}}) {
    script().Expect(DataFrames(header).front(), {STC_OK});
    answered = false;
    std::thread card([&, count = nulls] {
      tolvex::platform::PlatformScope scope(bench_.platform());
      if (!WaitUntil([&] { return answered.load(); })) return;
      for (ULONG sent = 0; sent < count;) {
        if (!WaitUntil([&] { return Received() + bench_.port().receive_queue() <= 200; })) return;
        const ULONG n = std::min<ULONG>(100, count - sent);
        bench_.line().Send(Bytes(n, 0x60));
        sent += n;
      }
      bench_.line().Send({0x90, 0x00});
    });
    smartcard()->T0.Le = 0;
    Bytes answer(300, 0xEE);  // sized exactly, so that a write past it is caught
    ULONG length = 300;
    EXPECT_EQ(T0_ExchangeData(smartcard(), header.data(), 5, answer.data(), &length), status)
        << nulls;
    card.join();
    ReaderAnswersEverything();
  }
  bench_.line().SetListener([this](std::span<const UCHAR> frame) { script().HostWrote(frame); });
}

// T=0 dialogues, each with every frame the call is to write and what the card sends after each
// (behind the reader's 90 for the frame): the status, the reply buffer (0xEE beyond what was
// stored), its length out (the room given, unless the exchange succeeded) and the frames written.
struct T0Case {
  const char* name;
  ULONG le;
  const char* request;
  const char* wire;
  const char* card;
  ULONG room;
  NTSTATUS status;
  const char* reply;
  ULONG length;
  friend void PrintTo(const T0Case& c, std::ostream* os) { *os << c.name; }
};
class T0Dialogue : public tolvex::testutil::CardBenchTest,
                   public ::testing::WithParamInterface<T0Case> {};

TEST_P(T0Dialogue, StoresTheReplyAndWritesTheFramesTheProcedureBytesCallFor) {
  const T0Case& c = GetParam();
  const auto wire = Wire(c.wire), card = Wire(c.card);
  ASSERT_LE(card.size(), wire.size());
  for (size_t i = 0; i < card.size(); ++i) script().Expect(wire[i], Cat({STC_OK}, card[i]));
  smartcard()->T0.Le = c.le;
  const Bytes request = Hex(c.request);
  Bytes reply(c.room, 0xEE), stored = Hex(c.reply);
  stored.resize(c.room, 0xEE);
  ULONG length = c.room;
  Record();
  EXPECT_EQ(T0_ExchangeData(smartcard(), request.data(), static_cast<ULONG>(request.size()),
                            reply.data(), &length),
            c.status);
  EXPECT_EQ(reply, stored);
  EXPECT_EQ(length, c.length);
  EXPECT_EQ(Frames(), wire);
  EXPECT_EQ(RanOut(), std::vector<LONGLONG>{});  // every read ended by the bytes it awaited
}

constexpr const char *kSelect = "00 A4 04 00 00", *kSelectFrame = "45 00 A4 04 00 00";
constexpr const char *kRead = "00 B0 00 00 02", *kReadFrame = "45 00 B0 00 00 02";
constexpr const char* kUpdate = "00 D6 00 00 02 0A 0B";
const T0Case kT0Cases[] = {
    {"StatusWordForProcedureByte", 0, kSelect, kSelectFrame, "90 00", 16, STATUS_SUCCESS, "90 00",
     2},
    {"SmallestReplyRoom", 0, kSelect, kSelectFrame, "90 00", 2, STATUS_SUCCESS, "90 00", 2},
    {"NoRoomForTheStatusWord", 0, kSelect, "", "", 1, STATUS_INVALID_PARAMETER, "", 1},
    {"ShorterThanAHeader", 0, "00 A4 04 00", "", "", 16, STATUS_INVALID_PARAMETER, "", 16},
    {"DataAtOnce", 2, kRead, kReadFrame, "B0 01 02 90 00", 4, STATUS_SUCCESS, "01 02 90 00", 4},
    // Complements of INS, and a NULL byte between them that only restarts the wait.
    {"DataByteByByte", 2, kRead, kReadFrame, "4F 01 60 4F 02 90 00", 4, STATUS_SUCCESS,
     "01 02 90 00", 4},
    {"CommandDataAtOnce", 0, kUpdate, "45 00 D6 00 00 02, 42 0A 0B", "D6, 90 00", 16,
     STATUS_SUCCESS, "90 00", 2},
    {"CommandDataByteByByte", 0, kUpdate, "45 00 D6 00 00 02, 41 0A, 41 0B", "29, 60 29, 61 05", 16,
     STATUS_SUCCESS, "61 05", 2},
    {"DataByteNobodyAskedFor", 0, kSelect, kSelectFrame, "5B", 16, STATUS_DEVICE_PROTOCOL_ERROR, "",
     16},
    // SW1 and the end of the card's block; SW1 and a damaged SW2, reported before SW1 is taken.
    {"NoSw2", 0, kSelect, kSelectFrame, "6A 10 83", 16, STATUS_IO_TIMEOUT, "6A", 16},
    {"DamagedSw2", 0, kSelect, kSelectFrame, "6A 10 88", 16, STATUS_IO_TIMEOUT, "", 16},
};
INSTANTIATE_TEST_SUITE_P(Cases, T0Dialogue, ::testing::ValuesIn(kT0Cases),
                         [](const auto& test) { return std::string(test.param.name); });

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
    SetIo(Cat({2, 0, 0, 0, 8, 0, 0, 0}, kReadEight), 8 + 258);
    ReaderAnswersEverything();
  }
  Bytes Block(UCHAR pcb, const Bytes& inf = {}) {
    return t1::Encode(t1::Block{0, pcb, inf},
                      card().T1.EDC == T1_EDC_CRC ? t1::Edc::kCrc : t1::Edc::kLrc);
  }
  // A block as the card says it: relayed, and the reader's end-of-block report after it.
  static Bytes Said(const Bytes& block) { return Cat(Relayed(block), kBlockEnd); }
  // What the reader sends once the driver has written `block` (a frame's worth): 90, then `wire`.
  void Card(const Bytes& block, const Bytes& wire) {
    script().Expect(DataFrames(block).front(), Cat({STC_OK}, wire));
  }
  // The response the application got, behind its header.
  Bytes Response() {
    EXPECT_GE(information_, 8u);
    if (information_ < 8) return {};
    EXPECT_EQ(Io(8), (Bytes{2, 0, 0, 0, 8, 0, 0, 0}));
    return Bytes(io_.begin() + 8, io_.begin() + static_cast<std::ptrdiff_t>(information_));
  }
};

// The card's block arrives piece by piece as the driver waits: the prologue, then the rest
// (LEN 10 and the EDC), then the end-of-block report, awaited for the read interval. When the
// card first asks for twice its waiting time (S(WTX request) 2), the prologue of its answer to
// the next block, and only that, is awaited longer: the rest and what follows wait as before.
TEST_F(T1Exchange, PrologueThenTheRestThenTheBlockEnd) {
  const struct {
    UCHAR edc, wtx;
    LONGLONG prologue;
  } rows[] = {{T1_EDC_LRC, 0, 1150}, {T1_EDC_CRC, 0, 1150}, {T1_EDC_LRC, 2, 2150}};
  for (const auto& row : rows) {
    Restart(row.edc);
    const Bytes answer = Block(0x00, kEightAndOk);
    std::vector<Feeder::Step> steps;
    if (row.wtx != 0) {
      Card(Block(0x00, kReadEight), {});
      steps.push_back({BenchWait(3), Said(Block(0xC3, {row.wtx}))});
    }
    Card(row.wtx != 0 ? Block(0xE3, {row.wtx}) : Block(0x00, kReadEight), {});
    steps.insert(steps.end(), {{row.prologue, Relayed(Bytes(answer.begin(), answer.begin() + 3))},
                               {BenchWait(row.edc == T1_EDC_CRC ? 12 : 11),
                                Relayed(Bytes(answer.begin() + 3, answer.end()))},
                               {kBenchInterval, kBlockEnd}});
    Record();
    Feeder feeder(bench_, steps);
    ASSERT_EQ(CBT1Transmit(smartcard()), STATUS_SUCCESS);
    EXPECT_EQ(feeder.done(), steps.size());
    EXPECT_EQ(RanOut(), std::vector<LONGLONG>{});  // the end-of-block report ends its wait
    EXPECT_EQ(Response(), kEightAndOk);
    EXPECT_EQ(std::tuple(reader()->ReadTotalTimeout, smartcard()->T1.Wtx),
              std::tuple(kBenchTotal, 0));
  }
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
  ASSERT_EQ(CBT1Transmit(smartcard()), STATUS_SUCCESS);
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
  ASSERT_EQ(CBT1Transmit(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(Delays(), std::vector<ULONG>{254});
  EXPECT_EQ(Response(), (Bytes{0x00, 0x01, 0x90, 0x00}));
  EXPECT_EQ(Frames().size(), 2u);
}

// The reader reports the card gone (and another put in, not yet reset) while the driver waits
// for its answer to the first block: the read runs out, and no block follows (a retry would
// wait out the card's time again).
TEST_F(T1Exchange, CardReportedGoneEndsTheExchangeWithoutRetries) {
  for (const ULONG state : {SCARD_ABSENT, SCARD_PRESENT}) {
    SCOPED_TRACE(state);
    Restart(T1_EDC_LRC);
    SetState(SCARD_SPECIFIC);
    bench_.line().SetListener([&](std::span<const UCHAR> frame) {
      script().HostWrote(frame);
      SetState(state);
    });
    Card(Block(0x00, kReadEight), {});
    EXPECT_EQ(CBT1Transmit(smartcard()), STATUS_NO_MEDIA);
    EXPECT_EQ(Frames(), DataFrames(Block(0x00, kReadEight)));
    bench_.line().SetListener([this](std::span<const UCHAR> frame) { script().HostWrote(frame); });
  }
}

}  // namespace
