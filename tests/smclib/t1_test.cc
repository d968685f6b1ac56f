// T=1: the engine driven through the driver's loop against a small card written here, which
// speaks the block protocol on its side, can be told to ask for things (WTX, IFS, ABORT) and
// to garble, drop or replace its answers on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "platform/platform.h"
#include "smclib/bytes.h"
#include "smclib/smclib.h"

namespace {

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::smclib_test::Bytes;
using tolvex::smclib_test::Concat;
using tolvex::smclib_test::Hex;
using tolvex::smclib_test::ToHex;

constexpr ULONG kBufferSize = 576;
constexpr const char* kAtrIfsc254 = "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A7";
constexpr const char* kAtrIfsc32 = "3B D1 13 00 81 31 20 45 4A 5D";
constexpr const char* kAtrCrc = "3B 80 81 41 01 41";

// The card's side of the framing, written independently of the library's.
UCHAR Lrc(const UCHAR* bytes, size_t length) {
  UCHAR lrc = 0;
  for (size_t i = 0; i < length; ++i) lrc ^= bytes[i];
  return lrc;
}

USHORT Crc(const UCHAR* bytes, size_t length) {
  USHORT crc = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      const bool feedback = ((crc ^ (bytes[i] >> bit)) & 1) != 0;
      crc = static_cast<USHORT>(crc >> 1);
      if (feedback) crc ^= 0x8408;
    }
  }
  return static_cast<USHORT>(crc ^ 0xFFFF);
}

Bytes Block(UCHAR pcb, const Bytes& information, bool crc, UCHAR nad = 0) {
  Bytes block{nad, pcb, static_cast<UCHAR>(information.size())};
  block.insert(block.end(), information.begin(), information.end());
  if (crc) {
    const USHORT value = Crc(block.data(), block.size());
    block.push_back(static_cast<UCHAR>(value));
    block.push_back(static_cast<UCHAR>(value >> 8));
  } else {
    block.push_back(Lrc(block.data(), block.size()));
  }
  return block;
}

bool EdcGood(const Bytes& block, bool crc) {
  if (!crc) return Lrc(block.data(), block.size()) == 0;
  const USHORT value = Crc(block.data(), block.size() - 2);
  return block[block.size() - 2] == static_cast<UCHAR>(value) &&
         block.back() == static_cast<UCHAR>(value >> 8);
}

Bytes Header(ULONG protocol, ULONG pci_length) {
  Bytes header(8);
  std::memcpy(header.data(), &protocol, 4);
  std::memcpy(header.data() + 4, &pci_length, 4);
  return header;
}

Bytes Counting(size_t length, UCHAR first = 0) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<UCHAR>(first + i);
  return bytes;
}

TEST(T1Crc, TheCardsCrcIsTheHdlcFrameCheckSequence) {
  const std::string text = "123456789";
  EXPECT_EQ(Crc(reinterpret_cast<const UCHAR*>(text.data()), text.size()), 0x906E);
}

class FakeCard {
 public:
  bool crc = false;
  UCHAR ifsc = 254;  // the most the card takes in one block
  UCHAR ifsd = 32;   // the most it sends in one, until the reader announces its IFSD
  std::function<Bytes(const Bytes&)> application = [](const Bytes&) { return Hex("90 00"); };
  UCHAR wtx = 0;             // asks for this waiting time extension before every answer
  UCHAR ifs_request = 0;     // asks for this IFSC instead of its first chain acknowledgement
  bool abort = false;        // answers a command with S(ABORT request)
  bool wtx_forever = false;  // answers every block with S(WTX request)
  bool mute = false;
  // What goes on the wire instead of the answer to the reader's n-th block (from 0), and
  // instead of every answer.
  std::map<size_t, std::function<Bytes(const Bytes&)>> faults;
  std::function<Bytes(const Bytes&)> wire;

  std::vector<Bytes> received;
  std::vector<Bytes> commands;
  std::vector<UCHAR> announced;
  int resynchs = 0;

  Bytes Answer(const Bytes& block) {
    const size_t index = received.size();
    received.push_back(block);
    if (mute) return {};
    Bytes answer = Process(block);
    if (auto fault = faults.find(index); fault != faults.end()) answer = fault->second(answer);
    if (wire) answer = wire(answer);
    return answer;
  }

 private:
  Bytes Send(UCHAR pcb, const Bytes& information = {}) {
    last_ = Block(pcb, information, crc);
    return last_;
  }
  Bytes Ack() const { return Block(static_cast<UCHAR>(0x80 | nr_ << 4), {}, crc); }
  Bytes Error(UCHAR bits) const {
    return Block(static_cast<UCHAR>(0x80 | nr_ << 4 | bits), {}, crc);
  }

  Bytes NextChunk() {
    const size_t chunk = std::min<size_t>(ifsd, response_.size() - at_);
    const bool more = at_ + chunk < response_.size();
    const Bytes part(response_.begin() + at_, response_.begin() + at_ + chunk);
    at_ += chunk;
    const UCHAR pcb = static_cast<UCHAR>(ns_ << 6 | (more ? 0x20 : 0));
    ns_ ^= 1;
    chaining_ = more;
    return Send(pcb, part);
  }

  Bytes Process(const Bytes& block) {
    const size_t edc = crc ? 2 : 1;
    if (block.size() < 3 + edc || block.size() != 3 + block[2] + edc || !EdcGood(block, crc)) {
      return Error(1);
    }
    const UCHAR pcb = block[1];
    const Bytes information(block.begin() + 3, block.end() - static_cast<long>(edc));
    if (wtx_forever) return Send(0xC3, {1});
    if ((pcb & 0x80) == 0) {
      if (((pcb >> 6) & 1) != nr_) return last_.empty() ? Error(2) : last_;  // a repetition
      if (information.size() > ifsc) return Error(2);
      command_.insert(command_.end(), information.begin(), information.end());
      nr_ ^= 1;
      if ((pcb & 0x20) != 0) {
        if (ifs_request != 0 && !asked_ifs_) {
          asked_ifs_ = true;
          pending_ = Ack();
          return Send(0xC1, {ifs_request});
        }
        last_ = Ack();
        return last_;
      }
      commands.push_back(command_);
      response_ = application(command_);
      command_.clear();
      at_ = 0;
      if (abort) return Send(0xC2);
      if (wtx != 0) {
        answer_after_wtx_ = true;
        return Send(0xC3, {wtx});
      }
      return NextChunk();
    }
    if ((pcb & 0xC0) == 0x80) {
      if (chaining_ && ((pcb >> 4) & 1) == ns_) return NextChunk();
      return last_;
    }
    switch (pcb) {
      case 0xC1:
        ifsd = information.at(0);
        announced.push_back(ifsd);
        return Send(0xE1, information);
      case 0xC0:
        ++resynchs;
        ns_ = nr_ = 0;
        ifsd = 32;
        command_.clear();
        chaining_ = false;
        return Send(0xE0);
      case 0xE1:
        ifsc = information.at(0);
        last_ = pending_;
        return last_;
      case 0xE3:
        if (!answer_after_wtx_ || information != Bytes{wtx}) return Error(2);
        answer_after_wtx_ = false;
        return NextChunk();
      case 0xE2:
        command_.clear();
        chaining_ = false;
        return {};
      default:
        return Error(2);
    }
  }

  UCHAR ns_ = 0;  // N(S) of the card's next I-block
  UCHAR nr_ = 0;  // N(S) expected in the reader's next I-block
  Bytes command_, response_, last_, pending_;
  size_t at_ = 0;
  bool chaining_ = false;
  bool asked_ifs_ = false;
  bool answer_after_wtx_ = false;
};

struct Turn {
  std::string sent;
  ULONG state;
  ULONG original_state;
  UCHAR wtx;  // the waiting time extension the driver applied to this block's answer
};

class T1Test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&extension_, 0, sizeof(extension_));
    extension_.SmartcardRequest.Buffer = request_.get();
    extension_.SmartcardRequest.BufferSize = kBufferSize;
    extension_.SmartcardReply.Buffer = reply_.get();
    extension_.SmartcardReply.BufferSize = kBufferSize;
    extension_.ReaderCapabilities.MaxIFSD = 254;
    extension_.ReaderCapabilities.CLKFrequency.Max = 3580;
    extension_.ReaderCapabilities.DataRate.Max = 115200;
    PowerUp(kAtrIfsc254);
  }

  // A card answers its reset: the library learns its ATR, and the card starts afresh.
  void PowerUp(const char* atr) {
    const Bytes bytes = Hex(atr);
    std::memcpy(extension_.CardCapabilities.ATR.Buffer, bytes.data(), bytes.size());
    extension_.CardCapabilities.ATR.Length = static_cast<UCHAR>(bytes.size());
    ASSERT_EQ(SmartcardUpdateCardCapabilities(&extension_), STATUS_SUCCESS);
    card_ = FakeCard();
    card_.crc = extension_.CardCapabilities.T1.EDC == T1_EDC_CRC;
    card_.ifsc = extension_.CardCapabilities.T1.IFSC;
  }

  // Points the library at the application's request; the reply goes to the same buffer, as
  // with the I/O manager's system buffer, unless `separate`, where a buffer filled with AA is
  // used.
  void Prepare(const Bytes& apdu, ULONG reply_size, bool separate = false) {
    const Bytes request = Concat(Header(SCARD_PROTOCOL_T1, 8), apdu);
    const size_t size = separate ? request.size() : std::max<size_t>(request.size(), reply_size);
    io_ = std::make_unique<UCHAR[]>(size);
    std::memcpy(io_.get(), request.data(), request.size());
    UCHAR* reply = io_.get();
    if (separate) {
      out_ = std::make_unique<UCHAR[]>(reply_size);
      std::memset(out_.get(), 0xAA, reply_size);
      reply = out_.get();
    }
    extension_.IoRequest.RequestBuffer = io_.get();
    extension_.IoRequest.RequestBufferLength = static_cast<ULONG>(request.size());
    extension_.IoRequest.ReplyBuffer = reply;
    extension_.IoRequest.ReplyBufferLength = reply_size;
    extension_.IoRequest.Information = &information_;
    information_ = 0;
  }

  NTSTATUS Transmit(const Bytes& apdu, ULONG reply_size = 8 + 258, bool separate = false) {
    Prepare(apdu, reply_size, separate);
    return Run();
  }

  // The driver's loop for one request.
  NTSTATUS Run() {
    turns_.clear();
    std::memset(extension_.IoRequest.ReplyBuffer, 0, 4);
    for (;;) {
      extension_.T1.NAD = 0;
      extension_.SmartcardRequest.BufferLength = 0;
      NTSTATUS status = SmartcardT1Request(&extension_);
      if (!NT_SUCCESS(status)) return status;
      Turn turn{"", extension_.T1.State, extension_.T1.OriginalState, 0};
      if (fixup_ && extension_.T1.State == T1_IFS_RESPONSE &&
          extension_.T1.OriginalState == T1_I_BLOCK) {
        extension_.T1.State = T1_I_BLOCK;
      }
      const UCHAR* block = extension_.SmartcardRequest.Buffer;
      const Bytes sent(block, block + extension_.SmartcardRequest.BufferLength);
      turn.sent = ToHex(sent);
      const Bytes answer = card_.Answer(sent);
      turn.wtx = SharedLoad(extension_.T1.Wtx);
      if (turn.wtx != 0) SharedStore(extension_.T1.Wtx, 0);
      Receive(answer);
      turns_.push_back(turn);
      status = SmartcardT1Reply(&extension_);
      if (status != STATUS_MORE_PROCESSING_REQUIRED) return status;
      if (turns_.size() > 5000) {
        ADD_FAILURE() << "the exchange does not end";
        return STATUS_UNSUCCESSFUL;
      }
    }
  }

  // The driver's read of the card's answer: the prologue, then LEN and the EDC's bytes; zeros
  // where a cut block did not arrive; nothing for LEN 255. `raw_` passes the bytes as they are.
  void Receive(const Bytes& answer) {
    extension_.SmartcardReply.BufferLength = 0;
    if (answer.empty()) return;
    size_t length = answer.size();
    if (!raw_) {
      if (answer.size() >= 3 && answer[2] == 0xFF) return;
      if (answer.size() >= 3) length = 3 + answer[2] + (card_.crc ? 2 : 1);
    }
    length = std::min<size_t>(length, extension_.SmartcardReply.BufferSize);
    UCHAR* buffer = extension_.SmartcardReply.Buffer;
    std::memset(buffer, 0, length);
    std::memcpy(buffer, answer.data(), std::min(answer.size(), length));
    extension_.SmartcardReply.BufferLength = static_cast<ULONG>(length);
  }

  std::vector<std::string> Sent() const {
    std::vector<std::string> sent;
    for (const Turn& turn : turns_) sent.push_back(turn.sent);
    return sent;
  }

  // What the application gets: the header and the response.
  Bytes Reply() const {
    return Bytes(extension_.IoRequest.ReplyBuffer, extension_.IoRequest.ReplyBuffer + information_);
  }

  std::string IBlock(UCHAR pcb, const Bytes& information) const {
    return ToHex(Block(pcb, information, card_.crc));
  }

  SMARTCARD_EXTENSION extension_;
  std::unique_ptr<UCHAR[]> request_ = std::make_unique<UCHAR[]>(kBufferSize);
  std::unique_ptr<UCHAR[]> reply_ = std::make_unique<UCHAR[]>(kBufferSize);
  std::unique_ptr<UCHAR[]> io_;
  std::unique_ptr<UCHAR[]> out_;
  ULONG_PTR information_ = 0;
  FakeCard card_;
  std::vector<Turn> turns_;
  bool fixup_ = true;
  bool raw_ = false;
};

const Bytes kSelect = Hex("00 A4 04 00 02 3F 00");
const std::string kRepeat = "the I-block again";

TEST_F(T1Test, PlainExchangeWithLrc) {
  card_.application = [](const Bytes&) { return Hex("6F 00 90 00"); };
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"00 C1 01 FE 3E", IBlock(0x00, kSelect)}));
  EXPECT_EQ(Reply(), Concat(Header(SCARD_PROTOCOL_T1, 8), Hex("6F 00 90 00")));
  EXPECT_EQ(card_.commands, std::vector<Bytes>{kSelect});
  EXPECT_EQ(card_.announced, std::vector<UCHAR>{254});
  EXPECT_EQ(turns_[0].state, T1_IFS_REQUEST);
  EXPECT_EQ(turns_[0].original_state, T1_IFS_REQUEST);
  EXPECT_EQ(turns_[1].state, T1_I_BLOCK);
  EXPECT_EQ(turns_[1].original_state, T1_I_BLOCK);
  EXPECT_EQ(extension_.T1.SSN, 1);
  EXPECT_EQ(extension_.T1.RSN, 1);
}

TEST_F(T1Test, PlainExchangeWithCrc) {
  PowerUp(kAtrCrc);
  card_.application = [](const Bytes&) { return Hex("01 02 90 00"); };
  ASSERT_EQ(Transmit(Hex("00 A4 04 00 00")), STATUS_SUCCESS);
  EXPECT_EQ(Sent(),
            (std::vector<std::string>{"00 C1 01 FE B1 AB", "00 00 05 00 A4 04 00 00 44 24"}));
  EXPECT_EQ(Reply(), Concat(Header(SCARD_PROTOCOL_T1, 8), Hex("01 02 90 00")));
}

TEST_F(T1Test, IfsdIsAnnouncedOnceAfterEachReset) {
  extension_.ReaderCapabilities.MaxIFSD = 32;
  PowerUp(kAtrIfsc254);
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent().front(), "00 C1 01 20 E0");
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), std::vector<std::string>{IBlock(0x40, kSelect)});
  EXPECT_EQ(card_.announced, std::vector<UCHAR>{32});

  PowerUp(kAtrIfsc254);  // a new card, or the same one reset
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"00 C1 01 20 E0", IBlock(0x00, kSelect)}));
}

TEST_F(T1Test, ALongCommandIsChainedWithinIfsc) {
  PowerUp(kAtrIfsc32);
  const Bytes command = Concat(Hex("80 E2 00 00 FA"), Counting(250));
  ASSERT_EQ(Transmit(command), STATUS_SUCCESS);
  std::vector<std::string> expected{"00 C1 01 FE 3E"};
  for (size_t block = 0; block < 8; ++block) {
    const bool last = block == 7;
    const UCHAR pcb = static_cast<UCHAR>((block % 2) << 6 | (last ? 0 : 0x20));
    const auto from = command.begin() + static_cast<long>(block * 32);
    expected.push_back(IBlock(pcb, Bytes(from, last ? command.end() : from + 32)));
  }
  EXPECT_EQ(Sent(), expected);
  EXPECT_EQ(card_.commands, std::vector<Bytes>{command});
  EXPECT_EQ(extension_.T1.SSN, 0);  // eight I-blocks acknowledged
}

TEST_F(T1Test, ALongResponseIsGatheredAcrossTheCardsChain) {
  extension_.ReaderCapabilities.MaxIFSD = 32;
  PowerUp(kAtrIfsc254);
  const Bytes response = Concat(Counting(256, 7), Hex("90 00"));
  card_.application = [&](const Bytes&) { return response; };
  ASSERT_EQ(Transmit(Hex("00 B0 00 00 00"), 8 + 258), STATUS_SUCCESS);
  const std::vector<std::string> sent = Sent();
  ASSERT_EQ(sent.size(), 2u + 8u);  // announcement, command, eight acknowledgements
  for (size_t i = 2; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i], i % 2 == 0 ? "00 90 00 90" : "00 80 00 80") << i;
    EXPECT_EQ(turns_[i].state, T1_R_BLOCK);
  }
  EXPECT_EQ(Reply(), Concat(Header(SCARD_PROTOCOL_T1, 8), response));
  EXPECT_EQ(information_, 8u + 258u);
}

class T1FixUpTest : public T1Test, public ::testing::WithParamInterface<bool> {};

TEST_P(T1FixUpTest, TheCardAsksForASmallerIfscInTheMiddleOfAChain) {
  fixup_ = GetParam();
  PowerUp(kAtrIfsc32);
  card_.ifs_request = 16;
  const Bytes command = Concat(Hex("80 E2 00 00 5F"), Counting(95));
  ASSERT_EQ(Transmit(command), STATUS_SUCCESS);
  const std::vector<std::string> sent = Sent();
  ASSERT_EQ(sent.size(), 1u + 1u + 1u + 5u);
  EXPECT_EQ(sent[2], "00 E1 01 10 F0");
  EXPECT_EQ(turns_[2].state, T1_IFS_RESPONSE);
  EXPECT_EQ(turns_[2].original_state, T1_I_BLOCK);
  // The block the card acknowledged after the IFS exchange carried 32 bytes; the rest goes in 16s.
  EXPECT_EQ(sent[3], IBlock(0x60, Bytes(command.begin() + 32, command.begin() + 48)));
  EXPECT_EQ(card_.commands, std::vector<Bytes>{command});
  EXPECT_EQ(extension_.T1.IFSC, 16);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutTheDriversFixUp, T1FixUpTest, ::testing::Bool());

TEST_F(T1Test, AWaitingTimeExtensionIsGrantedAndHandedToTheDriver) {
  card_.wtx = 3;
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  ASSERT_EQ(turns_.size(), 3u);
  EXPECT_EQ(turns_[2].sent, "00 E3 01 03 E1");
  EXPECT_EQ(turns_[2].state, T1_WTX_RESPONSE);
  EXPECT_EQ(turns_[2].original_state, T1_I_BLOCK);
  EXPECT_EQ(turns_[2].wtx, 3);
  EXPECT_EQ(turns_[1].wtx, 0);
  EXPECT_EQ(extension_.T1.Wtx, 0);  // cleared by the driver once applied
  EXPECT_EQ(Reply(), Concat(Header(SCARD_PROTOCOL_T1, 8), Hex("90 00")));
}

// A wrong answer to the command, what the reader sends then, and the card's repetition ends
// the exchange well.
struct WrongAnswer {
  const char* name;
  Bytes answer;
  std::string next;
  bool raw = false;
  bool garble = false;  // the card's own answer with its last byte inverted, instead of `answer`
};

Bytes Len255() {
  Bytes block = Concat(Hex("00 00 FF"), Bytes(255, 0x90));
  block.push_back(Lrc(block.data(), block.size()));  // good apart from its LEN
  return block;
}

const WrongAnswer kWrongAnswers[] = {
    {"BadEdc", {}, "00 81 00 81", false, true},
    {"NoAnswer", Hex(""), "00 82 00 82"},
    {"CutShort", Hex("00 00 05 90 00"), "00 81 00 81"},
    {"PrologueOnly", Hex("00 00"), "00 82 00 82"},
    {"Len255FromTheDriver", Len255(), "00 82 00 82"},
    {"Len255AsReceived", Len255(), "00 82 00 82", true},
    {"ByteBeyondTheBlock", Hex("00 00 02 90 00 92 00"), "00 82 00 82", true},
    {"WrongSequenceNumber", Block(0x40, Hex("90 00"), false), "00 82 00 82"},
    {"ChainedWrongSequenceNumber", Block(0x60, Hex("90 00"), false), "00 82 00 82"},
    {"OtherNad", Block(0x00, Hex("90 00"), false, 0x21), "00 82 00 82"},
    {"RBlockWithInformation", Block(0x80, Hex("00"), false), "00 82 00 82"},
    {"RBlockWithBit6", Block(0xA0, {}, false), "00 82 00 82"},
    {"UnknownSBlock", Block(0xC5, {}, false), "00 82 00 82"},
    {"UnaskedIfsResponse", Block(0xE1, Hex("FE"), false), "00 82 00 82"},
    {"UnaskedWtxResponse", Block(0xE3, Hex("01"), false), "00 82 00 82"},
    {"UnaskedResynchResponse", Block(0xE0, {}, false), "00 82 00 82"},
    {"ResynchRequestFromTheCard", Block(0xC0, {}, false), "00 82 00 82"},
    {"IfsRequestFor0", Block(0xC1, Hex("00"), false), "00 82 00 82"},
    {"IfsRequestFor255", Block(0xC1, Hex("FF"), false), "00 82 00 82"},
    {"IfsRequestWithoutSize", Block(0xC1, {}, false), "00 82 00 82"},
    {"WtxRequestFor0", Block(0xC3, Hex("00"), false), "00 82 00 82"},
    {"CardAsksForTheBlockAgain", Block(0x80, {}, false), kRepeat},
    {"CardAcknowledgesAnUnchainedBlock", Block(0x90, {}, false), kRepeat},
};

class T1WrongAnswerTest : public T1Test, public ::testing::WithParamInterface<WrongAnswer> {};

TEST_P(T1WrongAnswerTest, IsRecoveredFrom) {
  const WrongAnswer& w = GetParam();
  raw_ = w.raw;
  card_.application = [](const Bytes&) { return Hex("61 10"); };
  card_.faults[1] = [&](const Bytes& proper) {  // the answer to the command's I-block
    if (!w.garble) return w.answer;
    Bytes garbled = proper;
    garbled.back() ^= 0xFF;
    return garbled;
  };
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  const std::vector<std::string> sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2], w.next == kRepeat ? sent[1] : w.next);
  EXPECT_EQ(Reply(), Concat(Header(SCARD_PROTOCOL_T1, 8), Hex("61 10")));
  EXPECT_EQ(extension_.T1.RSN, 1);
}

INSTANTIATE_TEST_SUITE_P(Answers, T1WrongAnswerTest, ::testing::ValuesIn(kWrongAnswers),
                         [](const ::testing::TestParamInfo<WrongAnswer>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(T1Test, TheCardAsksForAChainedBlockAgain) {
  PowerUp(kAtrIfsc32);
  const Bytes command = Concat(Hex("80 E2 00 00 3B"), Counting(59));
  card_.faults[1] = [&](const Bytes&) { return Block(0x80, {}, false); };  // R(0): again
  ASSERT_EQ(Transmit(command), STATUS_SUCCESS);
  const std::vector<std::string> sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[1], IBlock(0x20, Bytes(command.begin(), command.begin() + 32)));
  EXPECT_EQ(sent[2], sent[1]);
  EXPECT_EQ(sent[3], IBlock(0x40, Bytes(command.begin() + 32, command.end())));
  EXPECT_EQ(card_.commands, std::vector<Bytes>{command});
}

TEST_F(T1Test, AMuteCardTimesOutAfterRetriesAndResynchronisations) {
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  card_.mute = true;
  EXPECT_EQ(Transmit(kSelect), STATUS_IO_TIMEOUT);
  EXPECT_EQ(Sent(),
            (std::vector<std::string>{IBlock(0x40, kSelect), "00 92 00 92", "00 92 00 92",
                                      "00 92 00 92", "00 C0 00 C0", "00 C0 00 C0", "00 C0 00 C0"}));
  EXPECT_EQ(turns_[1].state, T1_R_BLOCK);
  EXPECT_EQ(turns_[1].original_state, T1_I_BLOCK);
  EXPECT_EQ(turns_[4].state, T1_RESYNCH_REQUEST);
  EXPECT_EQ(turns_[4].original_state, T1_RESYNCH_REQUEST);

  // The card comes back: the next request resynchronises first.
  card_.mute = false;
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent(),
            (std::vector<std::string>{"00 C0 00 C0", "00 C1 01 FE 3E", IBlock(0x00, kSelect)}));
}

TEST_F(T1Test, AMuteCardFromTheStart) {
  card_.mute = true;
  EXPECT_EQ(Transmit(kSelect), STATUS_IO_TIMEOUT);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"00 C1 01 FE 3E", "00 C1 01 FE 3E", "00 C1 01 FE 3E",
                                              "00 C1 01 FE 3E", "00 C0 00 C0", "00 C0 00 C0",
                                              "00 C0 00 C0"}));
}

TEST_F(T1Test, SilenceAfterGoodBlocksIsATimeOut) {
  PowerUp(kAtrIfsc32);
  // One garbled answer early on, recovered from; then the card goes mute.
  card_.faults[1] = [](Bytes answer) {
    answer.back() ^= 0x01;
    return answer;
  };
  card_.wire = [&](const Bytes& answer) { return card_.received.size() > 3 ? Bytes{} : answer; };
  EXPECT_EQ(Transmit(Concat(Hex("80 E2 00 00 3B"), Counting(59))), STATUS_IO_TIMEOUT);
  const std::vector<std::string> sent = Sent();
  ASSERT_EQ(sent.size(), 4u + 3u + 3u);
  EXPECT_EQ(sent[2], "00 81 00 81");
  EXPECT_EQ(sent[3].substr(0, 5), "00 40");
}

TEST_F(T1Test, GarbageThroughoutIsAProtocolError) {
  card_.wire = [](Bytes answer) {
    if (!answer.empty()) answer.back() ^= 0x01;
    return answer;
  };
  EXPECT_EQ(Transmit(kSelect), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(Sent().size(), 7u);
  EXPECT_EQ(Sent()[1], "00 C1 01 FE 3E");  // an S(IFS request) is repeated, not answered by R
}

TEST_F(T1Test, GarbageThenSilenceIsAProtocolError) {
  card_.wire = [&](Bytes answer) {
    if (card_.received.size() > 1) return Bytes{};
    answer.back() ^= 0x01;
    return answer;
  };
  EXPECT_EQ(Transmit(kSelect), STATUS_DEVICE_PROTOCOL_ERROR);
}

TEST_F(T1Test, ResynchronisationAfterRepeatedErrorsAndTheCommandStartsOver) {
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);  // sequence numbers now 1
  // The answers to the I-block and to three R-blocks are garbled.
  const size_t first = card_.received.size();
  for (size_t i = first; i < first + 4; ++i) {
    card_.faults[i] = [](Bytes answer) {
      answer.back() ^= 0x01;
      return answer;
    };
  }
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), (std::vector<std::string>{IBlock(0x40, kSelect), "00 91 00 91", "00 91 00 91",
                                              "00 91 00 91", "00 C0 00 C0", "00 C1 01 FE 3E",
                                              IBlock(0x00, kSelect)}));
  EXPECT_EQ(card_.resynchs, 1);
  EXPECT_EQ(extension_.T1.SSN, 1);
  EXPECT_EQ(extension_.T1.RSN, 1);
  EXPECT_EQ(Reply(), Concat(Header(SCARD_PROTOCOL_T1, 8), Hex("90 00")));
}

TEST_F(T1Test, TheCardAbortsAndTheNextRequestResynchronises) {
  card_.abort = true;
  EXPECT_EQ(Transmit(kSelect), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(Sent(),
            (std::vector<std::string>{"00 C1 01 FE 3E", IBlock(0x00, kSelect), "00 E2 00 E2"}));
  EXPECT_EQ(turns_[2].state, T1_ABORT_RESPONSE);
  EXPECT_EQ(information_, 0u);
  card_.abort = false;
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent().front(), "00 C0 00 C0");
}

TEST_F(T1Test, NoCardKeepsARequestBeyondAThousandBlocks) {
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  card_.wtx_forever = true;
  EXPECT_EQ(Transmit(kSelect), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(turns_.size(), 1000u);
  EXPECT_EQ(extension_.T1.Turns, 1000u);
}

TEST_F(T1Test, AResponseTooLargeForTheCallerIsRefusedWhole) {
  card_.application = [](const Bytes&) { return Concat(Bytes(256, 0x42), Hex("90 00")); };
  EXPECT_EQ(Transmit(kSelect, 8 + 100, true), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(information_, 0u);
  // Past the header word the driver cleared, nothing of the response was written.
  EXPECT_EQ(Bytes(out_.get() + 4, out_.get() + 108), Bytes(104, 0xAA));
  // The card finished its chain: the next request needs no resynchronisation.
  card_.application = [](const Bytes&) { return Hex("90 00"); };
  ASSERT_EQ(Transmit(kSelect, 8 + 2, true), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), std::vector<std::string>{IBlock(0x40, kSelect)});
  EXPECT_EQ(Reply(), Concat(Header(SCARD_PROTOCOL_T1, 8), Hex("90 00")));
}

TEST_F(T1Test, AResponseBeyondTheGatheringRoomIsAnOverrun) {
  extension_.SmartcardReply.BufferSize = 300;  // 41 bytes behind the block
  card_.application = [](const Bytes&) { return Concat(Bytes(98, 0x42), Hex("90 00")); };
  EXPECT_EQ(Transmit(kSelect), STATUS_DATA_OVERRUN);
  EXPECT_EQ(information_, 0u);
}

TEST_F(T1Test, AResponseWithoutStatusWordIsAProtocolError) {
  card_.application = [](const Bytes&) { return Bytes{}; };
  EXPECT_EQ(Transmit(kSelect), STATUS_DEVICE_PROTOCOL_ERROR);
}

TEST_F(T1Test, ARequestTheDriverBrokeOffIsFollowedByAResynchronisation) {
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  Prepare(kSelect, 8 + 258);
  std::memset(extension_.IoRequest.ReplyBuffer, 0, 4);
  ASSERT_EQ(SmartcardT1Request(&extension_), STATUS_SUCCESS);  // then the send fails
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent(),
            (std::vector<std::string>{"00 C0 00 C0", "00 C1 01 FE 3E", IBlock(0x00, kSelect)}));
}

TEST_F(T1Test, MalformedRequestsSendNothing) {
  const struct {
    Bytes request;
    ULONG reply_size;
    NTSTATUS status;
  } cases[] = {
      {Concat(Header(SCARD_PROTOCOL_T1, 40), kSelect), 64, STATUS_INVALID_PARAMETER},
      {Concat(Header(SCARD_PROTOCOL_T1, 4), kSelect), 64, STATUS_INVALID_PARAMETER},
      {Concat(Header(SCARD_PROTOCOL_T1, 8), Hex("00 A4 04")), 64, STATUS_INVALID_PARAMETER},
      {Hex("02 00 00 00"), 64, STATUS_INVALID_PARAMETER},
      {Concat(Header(SCARD_PROTOCOL_T1, 8), kSelect), 7, STATUS_BUFFER_TOO_SMALL},
  };
  for (const auto& c : cases) {
    io_ = std::make_unique<UCHAR[]>(std::max<size_t>(c.request.size(), c.reply_size));
    std::memcpy(io_.get(), c.request.data(), c.request.size());
    extension_.IoRequest.RequestBuffer = io_.get();
    extension_.IoRequest.RequestBufferLength = static_cast<ULONG>(c.request.size());
    extension_.IoRequest.ReplyBuffer = io_.get();
    extension_.IoRequest.ReplyBufferLength = c.reply_size;
    EXPECT_EQ(Run(), c.status) << ToHex(c.request);
    EXPECT_TRUE(turns_.empty());
  }
  EXPECT_TRUE(card_.received.empty());
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent().front(), "00 C1 01 FE 3E");
}

TEST_F(T1Test, ARequestBufferTooSmallForABlockIsRefusedBeforeAnythingIsSent) {
  extension_.SmartcardRequest.BufferSize = 258;
  EXPECT_EQ(Transmit(kSelect), STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(turns_.empty());
  extension_.SmartcardRequest.BufferSize = 259;
  ASSERT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Sent().front(), "00 C1 01 FE 3E");  // no resynchronisation: nothing had gone out
}

TEST_F(T1Test, AReplyWithoutAnExchangeIsRefused) {
  EXPECT_EQ(SmartcardT1Reply(&extension_), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(T1Test, WorksInTheLibrarysOwnBuffers) {
  tolvex::platform::Platform platform;
  tolvex::platform::PlatformScope scope(platform);
  extension_.Version = SMCLIB_VERSION;
  extension_.SmartcardRequest = {nullptr, kBufferSize, 0};
  extension_.SmartcardReply = {nullptr, kBufferSize, 0};
  ASSERT_EQ(SmartcardInitialize(&extension_), STATUS_SUCCESS);
  PowerUp(kAtrIfsc254);
  const Bytes response = Concat(Counting(256), Hex("90 00"));
  card_.application = [&](const Bytes&) { return response; };
  EXPECT_EQ(Transmit(kSelect), STATUS_SUCCESS);
  EXPECT_EQ(Reply(), Concat(Header(SCARD_PROTOCOL_T1, 8), response));
  SmartcardExit(&extension_);
  EXPECT_EQ(platform.pool().OutstandingAllocations(), 0u);
}

// Whatever the card sends, the engine ends each request within its bound, with one of its
// statuses, and writes no more than the caller's buffer holds.
TEST_F(T1Test, RandomAnswersNeverHurt) {
  std::mt19937 random(20240611);
  auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
  card_.wire = [&](const Bytes& answer) {
    switch (below(6)) {
      case 0:
        return answer;
      case 1:
        return Bytes{};
      case 2: {
        Bytes junk(below(300));
        for (UCHAR& b : junk) b = static_cast<UCHAR>(random());
        return junk;
      }
      default: {
        static const UCHAR kPcbs[] = {0x00, 0x20, 0x40, 0x60, 0x80, 0x90, 0x81, 0x92,
                                      0xC0, 0xC1, 0xC2, 0xC3, 0xE0, 0xE1, 0xE2, 0xE3};
        Bytes information(below(4) == 0 ? below(255) : below(3));
        for (UCHAR& b : information) b = static_cast<UCHAR>(random());
        return Block(kPcbs[below(sizeof(kPcbs))], information, false);
      }
    }
  };
  for (int request = 0; request < 300; ++request) {
    raw_ = request % 2 == 1;
    const ULONG reply_size = 8 + static_cast<ULONG>(below(300));
    const NTSTATUS status = Transmit(Counting(4 + below(300)), reply_size);
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_PROTOCOL_ERROR ||
                status == STATUS_IO_TIMEOUT || status == STATUS_BUFFER_TOO_SMALL ||
                status == STATUS_DATA_OVERRUN)
        << std::hex << status;
    EXPECT_LE(turns_.size(), 1000u);
    EXPECT_LE(information_, reply_size);
    if (status != STATUS_SUCCESS) {
      EXPECT_EQ(information_, 0u);
    }
  }
}

}  // namespace
