// T=1: the engine driven as the driver drives it (driver/card/t1.cc), against scripted cards.
// Each row is a list of exchanges (one application request each), each a list of turns: the
// block the engine must send and the card's answer, as the driver leaves it in SmartcardReply;
// then what the request returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "smclib/bytes.h"
#include "smclib/smclib.h"

namespace {

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::smclib_test::Bytes;
using tolvex::smclib_test::Hex;
using tolvex::smclib_test::Request;
using tolvex::smclib_test::ToHex;

constexpr ULONG kBufferSize = 576;  // the driver's SmartcardRequest and SmartcardReply
constexpr const char* kAtrIfsc254 = "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A7";
constexpr const char* kAtrIfsc5 = "3B 80 81 11 05 15";

// Turns, separated by commas: "SENT > ANSWER", the block the engine must send and the card's
// answer as the driver leaves it in SmartcardReply ("SENT >": silence; "SENT > out": silence,
// the card having been taken out); "SENT" alone: the send fails and the driver gives the
// request up; "3* TURN": the turn three times.
struct Exchange {
  const char* apdu;  // the application's command; nullptr: the card is reset (ATR read again)
  std::string turns;
  NTSTATUS status = STATUS_SUCCESS;
  const char* response = "90 00";    // what the application gets behind the header
  ULONG reply_size = 8 + 258;        // of the application's buffer
  ULONG pci = 8;                     // the request header's cbPciLength; 0: no header
  ULONG request_room = kBufferSize;  // SmartcardRequest.BufferSize
};

struct T1Case {
  const char* name;
  const char* atr;
  std::vector<Exchange> exchanges;
};

T1Case Case(const char* name, const char* atr, std::vector<Exchange> exchanges) {
  return {name, atr, std::move(exchanges)};
}

// The application's SELECT; the announcement of IFSD 254 (with the card's response) and the
// command's exchange that open each session; starting over after a resynchronisation.
constexpr const char* kSelect = "00 A4 04 00 02 3F 00";
const std::string kOpen = "00 C1 01 FE 3E > 00 E1 01 FE 1E, 00 00 07 00 A4 04 00 02 3F 00 9A > ";
const Exchange kPlainSelect = {kSelect, kOpen + "00 00 02 90 00 92"};
const Exchange kStartOver = {kSelect, "00 C0 00 C0 > 00 E0 00 E0, " + kOpen + "00 00 02 90 00 92"};

const T1Case kCases[] = {
    Case("AnnouncesIfsdOnceAfterEachResetAndAlternatesSequenceNumbers", kAtrIfsc254,
         {{kSelect, kOpen + "00 00 04 6F 00 90 00 FB", STATUS_SUCCESS, "6F 00 90 00"},
          {kSelect, "00 40 07 00 A4 04 00 02 3F 00 DA > 00 40 02 90 00 D2"},
          {nullptr, ""},
          kPlainSelect}),
    Case("ChainsACommandWithinIfscAndSendsABlockAgainWhenAsked", kAtrIfsc5,
         {{kSelect,
           "00 C1 01 FE 3E > 00 E1 01 FE 1E, 00 20 05 00 A4 04 00 02 87 > 00 80 00 80, "
           "00 20 05 00 A4 04 00 02 87 > 00 90 00 90, 00 40 02 3F 00 7D > 00 00 02 90 00 92"}}),
    Case("AMuteCardTimesOutAfterRetriesAndResynchronisesNextTime", kAtrIfsc254,
         {kPlainSelect,
          {kSelect, "00 40 07 00 A4 04 00 02 3F 00 DA >, 3* 00 92 00 92 >, 3* 00 C0 00 C0 >",
           STATUS_IO_TIMEOUT},
          kStartOver}),
    Case("ResynchronisesAfterRepeatedErrorsAndStartsTheCommandOver", kAtrIfsc254,
         {kPlainSelect,
          {kSelect,
           "00 40 07 00 A4 04 00 02 3F 00 DA > 00 40 02 90 00 2D, "
           "3* 00 91 00 91 > 00 40 02 90 00 2D, " +
               kStartOver.turns}}),
    // Wrong blocks before a good resynchronisation do not make the silence after it an error.
    Case("SilenceAfterAResynchronisationIsATimeout", kAtrIfsc254,
         {kPlainSelect,
          {kSelect,
           "00 40 07 00 A4 04 00 02 3F 00 DA > 00 40 02 90 00 2D, "
           "3* 00 91 00 91 > 00 40 02 90 00 2D, 00 C0 00 C0 > 00 E0 00 E0, "
           "4* 00 C1 01 FE 3E >, 2* 00 C0 00 C0 >",
           STATUS_IO_TIMEOUT}}),
    // Part of the response lies over the command (one buffer): it is not sent again.
    Case("AResynchronisationAfterPartOfTheResponseEndsTheRequest", kAtrIfsc254,
         {{kSelect,
           kOpen + "00 20 02 01 02 21, 00 90 00 90 > 00 40 02 90 00 2D, "
                   "3* 00 91 00 91 > 00 40 02 90 00 2D, 00 C0 00 C0 > 00 E0 00 E0",
           STATUS_DEVICE_PROTOCOL_ERROR, ""},
          kPlainSelect}),
    Case("ARequestTheDriverBrokeOffIsFollowedByAResynchronisation", kAtrIfsc254,
         {kPlainSelect, {kSelect, "00 40 07 00 A4 04 00 02 3F 00 DA"}, kStartOver}),
    // The card finished its chain: the next request needs no resynchronisation.
    Case("AResponseTooLargeForTheCallerIsRefusedWhole", kAtrIfsc254,
         {{kSelect, kOpen + "00 00 06 01 02 03 04 90 00 92", STATUS_BUFFER_TOO_SMALL, "", 8 + 5},
          {kSelect, "00 40 07 00 A4 04 00 02 3F 00 DA > 00 40 02 90 00 D2", STATUS_SUCCESS, "90 00",
           8 + 2}}),
    // And leave no resynchronisation behind: nothing had gone out.
    Case("MalformedRequestsSendNothing", kAtrIfsc254,
         {{kSelect, "", STATUS_INVALID_PARAMETER, "", 64, 40},
          {"00 A4 04", "", STATUS_INVALID_PARAMETER, "", 64},
          {"02 00 00 00", "", STATUS_INVALID_PARAMETER, "", 64, 0},
          {kSelect, "", STATUS_BUFFER_TOO_SMALL, "", 7},
          {kSelect, "", STATUS_INVALID_DEVICE_STATE, "", 64, 8, 3 + 254 + 2 - 1},
          kPlainSelect}),
    // A wrong answer to the command's I-block: the engine's R-block, which the card answers.
    Case("WrongSequenceNumber", kAtrIfsc254,
         {{kSelect, kOpen + "00 40 02 90 00 D2, 00 82 00 82 > 00 00 02 61 10 73", STATUS_SUCCESS,
           "61 10"}}),
    // Nothing is retried with a card that is gone; the card put back is reset.
    Case("ACardTakenOutEndsTheExchangeAtOnce", kAtrIfsc254,
         {kPlainSelect,
          {kSelect, "00 40 07 00 A4 04 00 02 3F 00 DA > out", STATUS_NO_MEDIA},
          {nullptr, ""},
          kPlainSelect}),
    Case("IfsRequestWithoutSize", kAtrIfsc254,
         {{kSelect, kOpen + "00 C1 00 C1, 00 82 00 82 > 00 00 02 61 10 73", STATUS_SUCCESS,
           "61 10"}}),
};

// The card's answer to a block; nullopt: the send fails.
using Card = std::function<std::optional<Bytes>(const Bytes& sent)>;

class T1Test : public ::testing::TestWithParam<T1Case> {
 protected:
  void SetUp() override {
    extension_.SmartcardRequest = {request_, kBufferSize, 0};
    extension_.SmartcardReply = {reply_, kBufferSize, 0};
  }

  // The card answered its reset: the library learns its ATR.
  void PowerUp(const char* atr) {
    const Bytes bytes = Hex(atr);
    std::copy(bytes.begin(), bytes.end(), extension_.CardCapabilities.ATR.Buffer);
    extension_.CardCapabilities.ATR.Length = static_cast<UCHAR>(bytes.size());
    ASSERT_EQ(SmartcardUpdateCardCapabilities(&extension_), STATUS_SUCCESS);
  }

  // The driver's loop for one request. The application's request and reply share one buffer,
  // as with the I/O manager's system buffer.
  NTSTATUS Transmit(const Bytes& request, ULONG reply_size, const Card& card) {
    io_.assign(std::max<size_t>(request.size(), reply_size), 0xAA);
    std::copy(request.begin(), request.end(), io_.begin());
    before_ = io_;
    information_ = turns_ = 0;
    auto& io = extension_.IoRequest;
    io.RequestBuffer = io.ReplyBuffer = io_.data();
    io.RequestBufferLength = static_cast<ULONG>(request.size());
    io.ReplyBufferLength = reply_size;
    io.Information = &information_;
    std::fill_n(io_.begin(), 4, 0);  // the driver's mark of a new request
    for (T1_DATA& t1 = extension_.T1;;) {
      t1.NAD = 0;
      NTSTATUS status = SmartcardT1Request(&extension_);
      if (status != STATUS_SUCCESS) return status;
      const UCHAR* block = extension_.SmartcardRequest.Buffer;
      const Bytes sent(block, block + extension_.SmartcardRequest.BufferLength);
      // What the driver goes by: State from the block's control byte, OriginalState from what
      // the exchange began with, Wtx set as the S(WTX response) goes out.
      const UCHAR pcb = sent.at(1);
      EXPECT_EQ(t1.State, (pcb & 0x80) == 0 ? T1_I_BLOCK : (pcb & 0xC0) == 0x80 ? T1_R_BLOCK : pcb);
      EXPECT_EQ(t1.OriginalState, pcb == 0xC1   ? T1_IFS_REQUEST
                                  : pcb == 0xC0 ? T1_RESYNCH_REQUEST
                                                : T1_I_BLOCK);
      EXPECT_EQ(SharedLoad(t1.Wtx), pcb == 0xE3 ? sent.at(3) : 0);
      if (t1.State == T1_IFS_RESPONSE && t1.OriginalState == T1_I_BLOCK) t1.State = T1_I_BLOCK;
      SharedStore(t1.Wtx, 0);
      ++turns_;
      const std::optional<Bytes> answer = card(sent);
      if (!answer) return STATUS_SUCCESS;
      std::copy(answer->begin(), answer->end(), extension_.SmartcardReply.Buffer);
      extension_.SmartcardReply.BufferLength = static_cast<ULONG>(answer->size());
      status = SmartcardT1Reply(&extension_);
      if (status != STATUS_MORE_PROCESSING_REQUIRED || turns_ > 2000) return status;
    }
  }

  void Run(const Exchange& e) {
    if (e.apdu == nullptr) {
      SharedStore(extension_.ReaderCapabilities.CurrentState, SCARD_SPECIFIC);
      return PowerUp(GetParam().atr);
    }
    std::vector<std::string> turns;
    for (size_t at = 0; at < e.turns.size();) {
      const size_t end = std::min(e.turns.find(", ", at), e.turns.size());
      std::string turn = e.turns.substr(at, end - at);
      const size_t times = turn[1] == '*' ? turn[0] - '0' : 1;
      turns.insert(turns.end(), times, times == 1 ? turn : turn.substr(3));
      at = end + 2;
    }
    extension_.SmartcardRequest.BufferSize = e.request_room;
    size_t turn = 0;
    auto script = [&](const Bytes& sent) -> std::optional<Bytes> {
      const std::string t = turn < turns.size() ? turns[turn] : "(none) >";
      const size_t mark = t.find('>');
      EXPECT_EQ(ToHex(sent.data(), sent.size()), t.substr(0, std::min(mark, t.size() + 1) - 1))
          << "turn " << turn;
      ++turn;
      if (mark == std::string::npos) return std::nullopt;
      if (t.substr(mark + 1) == " out") {
        SharedStore(extension_.ReaderCapabilities.CurrentState, SCARD_ABSENT);
        return Bytes{};
      }
      return Hex(t.substr(mark + 1));
    };
    const NTSTATUS status =
        Transmit(Request(SCARD_PROTOCOL_T1, e.apdu, e.pci), e.reply_size, script);
    EXPECT_EQ(turn, turns.size()) << "turns taken";
    if (!turns.empty() && turns.back().find('>') == std::string::npos) return;
    EXPECT_EQ(status, e.status);
    if (e.status == STATUS_SUCCESS) {
      const Bytes reply = Request(SCARD_PROTOCOL_T1, e.response);
      EXPECT_EQ(ToHex(io_.data(), information_), ToHex(reply.data(), reply.size()));
    } else {  // nothing given: no length, no header
      EXPECT_EQ(information_, 0u);
      EXPECT_TRUE(std::equal(io_.begin() + 4, io_.begin() + 8, before_.begin() + 4));
    }
  }

  SMARTCARD_EXTENSION extension_{};
  UCHAR request_[kBufferSize] = {};
  UCHAR reply_[kBufferSize] = {};
  Bytes io_, before_;
  ULONG_PTR information_ = 0;
  size_t turns_ = 0;
};

TEST_P(T1Test, ExchangesTheBlocksOfItsScript) {
  extension_.ReaderCapabilities.MaxIFSD = 254;
  SharedStore(extension_.ReaderCapabilities.CurrentState, SCARD_SPECIFIC);
  extension_.SmartcardReply.BufferSize = kBufferSize;
  PowerUp(GetParam().atr);
  for (size_t i = 0; i < GetParam().exchanges.size(); ++i) {
    SCOPED_TRACE("exchange " + std::to_string(i));
    Run(GetParam().exchanges[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(Exchanges, T1Test, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
