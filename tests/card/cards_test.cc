// Cards as an application uses them, through the host against the simulated reader: resets and
// their ATRs, protocol selection, T=0 and T=1 commands, and what faults of the card, the reader
// and the line end in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <span>
#include <thread>

#include "driver/frame/frame.h"
#include "host/host.h"
#include "host/reader.h"
#include "platform/platform.h"
#include "serial/memory_line.h"
#include "sim/application.h"
#include "sim/faults.h"
#include "sim/t0_card.h"
#include "sim/t1_block.h"
#include "sim/t1_card.h"
#include "support/sim_frames.h"

namespace {

using ::testing::Contains;
using ::testing::Not;
using tolvex::host::CardState;
using tolvex::host::Host;
using tolvex::host::Power;
using tolvex::host::Reader;
using tolvex::host::Status;
using tolvex::sim::Application;
using tolvex::testutil::Frame;
using tolvex::testutil::HostFrames;
using Bytes = std::vector<std::uint8_t>;
namespace t1 = tolvex::sim::t1;
using namespace std::chrono_literals;

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Ok(Bytes data = {}) {
  return Cat(std::move(data), {0x90, 0x00});
}
Bytes File(size_t offset, size_t count) {
  const Bytes& file = Application::FileContents();
  return Bytes(file.begin() + static_cast<std::ptrdiff_t>(offset),
               file.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

const Bytes kSelectAid = Cat({0x00, 0xA4, 0x04, 0x00, 0x07}, Application::Aid());
const Bytes kSelectFile = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01};
const Bytes kReadAll = {0x00, 0xB0, 0x00, 0x00, 0x00};  // Le 256
const Frame kPowerOff = {0x84, 0x00};
const Frame kResetCommand = {0x83, 0x1D};

// A card model as part of a test's name: "t0-null" -> "t0null".
std::string TestName(std::string model) {
  std::erase(model, '-');
  return model;
}

// Cards whose ATRs ask for short waits (T=0: WI 1; T=1: BWI 1, CWI 1), for the faults that
// are only over when the driver's waits run out.
std::unique_ptr<tolvex::sim::Card> QuickT0Card() {
  return tolvex::sim::MakeT0Card({.atr = {0x3B, 0x80, 0x40, 0x01}, .model = "t0-quick"});
}
std::unique_ptr<tolvex::sim::Card> QuickT1Card() {
  return tolvex::sim::MakeT1Card({.bwi = 1, .cwi = 1, .model = "t1-quick"});
}

class Cards : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = &host_.AddSimulatedPort(0);
    ASSERT_EQ(host_.Start(), STATUS_SUCCESS);
    Status status;
    reader_ = Reader::Open(host_, 0, &status);
    ASSERT_TRUE(reader_) << std::hex << status;
  }
  void TearDown() override {
    reader_.reset();
    EXPECT_EQ(host_.Stop(), "");
  }

  // Puts a card in (taking out the one there first) once the driver has heard of it.
  void Insert(std::unique_ptr<tolvex::sim::Card> card) {
    if (sim_->card_present()) {
      sim_->RemoveCard();
      ASSERT_EQ(reader_->WaitForCard(tolvex::host::CardWait::kAbsent, 10s), STATUS_SUCCESS);
    }
    sim_->InsertCard(std::move(card));
    ASSERT_EQ(reader_->WaitForCard(tolvex::host::CardWait::kPresent, 10s), STATUS_SUCCESS);
  }
  void Insert(std::string_view model) { Insert(tolvex::sim::MakeCard(model)); }
  // Powers the card in the reader up cold and selects `protocol` (1 T=0, 2 T=1).
  void Start(std::uint32_t protocol) {
    ASSERT_EQ(reader_->PowerCard(Power::kColdReset, nullptr), STATUS_SUCCESS);
    std::uint32_t selected = 0;
    ASSERT_EQ(reader_->SetProtocol(protocol, &selected), STATUS_SUCCESS);
    ASSERT_EQ(selected, protocol);
    protocol_ = protocol;
  }
  Status Send(const Bytes& apdu, Bytes* response, size_t room = 258) {
    return reader_->Transmit(protocol_, apdu, response, room);
  }
  // The response to `apdu`, which must succeed.
  Bytes Send(const Bytes& apdu) {
    Bytes response;
    EXPECT_EQ(Send(apdu, &response), STATUS_SUCCESS);
    return response;
  }
  CardState State() {
    CardState state = CardState::kUnknown;
    EXPECT_EQ(reader_->State(&state), STATUS_SUCCESS);
    return state;
  }
  std::uint32_t Number(std::uint32_t tag) {
    std::uint32_t value = 0xEEEE;
    EXPECT_EQ(reader_->AttributeNumber(tag, &value), STATUS_SUCCESS);
    return value;
  }
  std::vector<Frame> PtsFrames() {
    std::vector<Frame> pts;
    for (const Frame& frame : HostFrames(*sim_)) {
      if (frame.size() > 1 && frame[0] == 0x44 && frame[1] == 0xFF) pts.push_back(frame);
    }
    return pts;
  }
  // The T=1 blocks the host wrote since the transcript was cleared.
  std::vector<t1::Block> HostBlocks(t1::Edc edc = t1::Edc::kLrc) {
    Bytes data;
    for (const Frame& frame : HostFrames(*sim_)) {
      if ((frame[0] & 0xC0) == 0x40) data.insert(data.end(), frame.begin() + 1, frame.end());
    }
    std::vector<t1::Block> blocks;
    for (size_t at = 0; at + 3 <= data.size();) {
      const size_t size = 3 + data[at + 2] + t1::EdcSize(edc);
      const auto block = t1::Decode(std::span(data).subspan(at, size), edc);
      EXPECT_TRUE(block.has_value()) << "not a block at " << at;
      if (!block) break;
      blocks.push_back(*block);
      at += size;
    }
    return blocks;
  }
  // The driver's link record, for its read time-outs.
  PREADER_EXTENSION Link() {
    tolvex::platform::PlatformScope scope(host_.platform());
    PDEVICE_OBJECT device = host_.platform().FindDevice(u"\\Device\\Tolvex0");
    return static_cast<PDEVICE_EXTENSION>(device->DeviceExtension)
        ->SmartcardExtension.ReaderExtension;
  }
  void Record() { host_.platform().clock().StartRecording(); }

  Host host_{Host::Options{.skip_delays = true}};
  tolvex::sim::ReaderSim* sim_ = nullptr;
  std::unique_ptr<Reader> reader_;
  std::uint32_t protocol_ = 0;
};

class ColdReset : public Cards, public ::testing::WithParamInterface<const char*> {};

TEST_P(ColdReset, GivesTheCardsAtrAsTheLibraryParsedIt) {
  Insert(GetParam());
  const Bytes expected = tolvex::sim::MakeCard(GetParam())->Reset();
  Bytes atr;
  ASSERT_EQ(reader_->PowerCard(Power::kColdReset, &atr), STATUS_SUCCESS);
  EXPECT_EQ(atr, expected);
  Bytes attribute;
  ASSERT_EQ(reader_->Attribute(SCARD_ATTR_ATR_STRING, &attribute), STATUS_SUCCESS);
  EXPECT_EQ(attribute, expected);
  EXPECT_EQ(Number(SCARD_ATTR_CURRENT_PROTOCOL_TYPE), SCARD_PROTOCOL_UNDEFINED);
  EXPECT_EQ(State(), CardState::kNegotiable);
  EXPECT_TRUE(sim_->card_powered());
  EXPECT_THAT(HostFrames(*sim_), Contains(kPowerOff));
}

INSTANTIATE_TEST_SUITE_P(Models, ColdReset,
                         ::testing::Values("t0", "t0-null", "t0-bytewise", "t1", "t1-crc", "dual"),
                         [](const auto& test) { return TestName(test.param); });

TEST_F(Cards, WarmResetOfAPoweredCardKeepsItPoweredAndPowerDownEndsIt) {
  Insert("dual");
  Bytes cold, warm;
  ASSERT_EQ(reader_->PowerCard(Power::kColdReset, &cold), STATUS_SUCCESS);
  sim_->ClearTranscript();
  ASSERT_EQ(reader_->PowerCard(Power::kWarmReset, &warm), STATUS_SUCCESS);
  EXPECT_EQ(warm, cold);
  EXPECT_THAT(HostFrames(*sim_), Contains(kResetCommand));
  EXPECT_THAT(HostFrames(*sim_), Not(Contains(kPowerOff)));
  ASSERT_EQ(reader_->PowerCard(Power::kDown, nullptr), STATUS_SUCCESS);
  EXPECT_FALSE(sim_->card_powered());
  EXPECT_EQ(State(), CardState::kPresent);
  Bytes attribute;
  EXPECT_EQ(reader_->Attribute(SCARD_ATTR_ATR_STRING, &attribute), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(Cards, PowerDownOfAnEmptyReaderLeavesItEmpty) {
  ASSERT_EQ(reader_->PowerCard(Power::kDown, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(State(), CardState::kAbsent);
  EXPECT_EQ(reader_->WaitForCard(tolvex::host::CardWait::kPresent, 30ms), STATUS_TIMEOUT);
  // A wait for what already holds ends at once, with no change to wait for.
  EXPECT_EQ(reader_->WaitForCard(tolvex::host::CardWait::kAbsent, 10s), STATUS_SUCCESS);
}

TEST_F(Cards, ConfirmedPtsPutsTheProtocolInForce) {
  Insert("dual");
  Start(SCARD_PROTOCOL_T1);
  EXPECT_EQ(PtsFrames(), (std::vector<Frame>{{0x44, 0xFF, 0x11, 0x11, 0xFF}}));
  EXPECT_EQ(State(), CardState::kSpecific);
  EXPECT_EQ(Number(SCARD_ATTR_CURRENT_PROTOCOL_TYPE), SCARD_PROTOCOL_T1);
  EXPECT_EQ(Send(kSelectAid), Ok());
}

TEST_F(Cards, PtsRefusedTwiceLeavesTheCardOff) {
  Insert("dual");
  ASSERT_EQ(tolvex::sim::ApplyFault(*sim_, "pts-refuse", std::vector<std::string>{"always"})
                .rfind("ok", 0),
            0u);
  ASSERT_EQ(reader_->PowerCard(Power::kColdReset, nullptr), STATUS_SUCCESS);
  sim_->ClearTranscript();
  EXPECT_EQ(reader_->SetProtocol(SCARD_PROTOCOL_T1, nullptr), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(PtsFrames().size(), 2u);
  EXPECT_EQ(HostFrames(*sim_).back(), kPowerOff);
  EXPECT_FALSE(sim_->card_powered());
  EXPECT_EQ(State(), CardState::kPresent);
  EXPECT_EQ(Number(SCARD_ATTR_CURRENT_PROTOCOL_TYPE), SCARD_PROTOCOL_UNDEFINED);
}

class T0Card : public Cards, public ::testing::WithParamInterface<const char*> {};

TEST_P(T0Card, ServesCommandsOfAllFourCases) {
  Insert(GetParam());
  Start(SCARD_PROTOCOL_T0);
  EXPECT_EQ(Send({0x00, 0xA4, 0x04, 0x00}), (Bytes{0x67, 0x00}));  // 1: SELECT with no AID
  EXPECT_EQ(Send(kSelectAid), Ok());                               // 3
  EXPECT_EQ(Send({0x00, 0x84, 0x00, 0x00, 0x08}),                  // 2
            Ok(Application::ChallengeBytes(0x5EED, 8)));
  // 4: sent as case 3; the card tells of its data, which GET RESPONSE fetches.
  EXPECT_EQ(Send({0x80, 0xEE, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00}), (Bytes{0x61, 0x03}));
  EXPECT_EQ(Send({0x00, 0xC0, 0x00, 0x00, 0x03}), Ok({0x01, 0x02, 0x03}));
  EXPECT_EQ(Send(kSelectFile), Ok());
  EXPECT_EQ(Send(kReadAll), Ok(File(0, 256)));
  // A wrong Le: the card says how much it has, and the command is repeated with that.
  EXPECT_EQ(Send({0x00, 0xB0, 0x01, 0x3C, 0x10}), (Bytes{0x6C, 0x04}));
  EXPECT_EQ(Send({0x00, 0xB0, 0x01, 0x3C, 0x04}), Ok(File(316, 4)));
}

INSTANTIATE_TEST_SUITE_P(Models, T0Card, ::testing::Values("t0", "t0-null", "t0-bytewise"),
                         [](const auto& test) { return TestName(test.param); });

struct T1Model {
  const char* model;
  t1::Edc edc;
  friend void PrintTo(const T1Model& m, std::ostream* os) { *os << m.model; }
};

class T1Card : public Cards, public ::testing::WithParamInterface<T1Model> {};

TEST_P(T1Card, ChainsLongCommandsAndResponsesBothWays) {
  Insert(GetParam().model);
  Start(SCARD_PROTOCOL_T1);
  sim_->ClearTranscript();
  Bytes data(255);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(255 - i);
  Bytes echo = Cat(Cat({0x80, 0xEE, 0x00, 0x00, 0xFF}, data), {0x00});
  EXPECT_EQ(Send(echo), Ok(data));
  // 261 bytes in I-blocks of at most IFSC 32, all but the last chained; 257 back in two
  // blocks (IFSD 254), the first acknowledged by an R-block.
  size_t sent = 0, chained = 0, acknowledgements = 0;
  for (const t1::Block& block : HostBlocks(GetParam().edc)) {
    if (t1::IsI(block.pcb)) {
      EXPECT_LE(block.inf.size(), 32u);
      sent += block.inf.size();
      chained += t1::More(block.pcb);
    }
    acknowledgements += t1::IsR(block.pcb);
  }
  EXPECT_EQ(sent, echo.size());
  EXPECT_EQ(chained, 8u);
  EXPECT_EQ(acknowledgements, 1u);
  EXPECT_EQ(Send(kSelectFile), Ok());
  EXPECT_EQ(Send(kReadAll), Ok(File(0, 256)));
}

INSTANTIATE_TEST_SUITE_P(Models, T1Card,
                         ::testing::Values(T1Model{"t1", t1::Edc::kLrc},
                                           T1Model{"t1-crc", t1::Edc::kCrc}),
                         [](const auto& test) { return TestName(test.param.model); });

TEST_F(Cards, CardsWaitingTimeExtensionIsGrantedForOneBlock) {
  Insert("t1");
  Start(SCARD_PROTOCOL_T1);
  const ULONG total = Link()->ReadTotalTimeout;
  sim_->WithCard([](tolvex::sim::Card& card) { card.RequestWtx(2, 1); });
  sim_->ClearTranscript();
  EXPECT_EQ(Send(kSelectAid), Ok());
  EXPECT_THAT(HostBlocks(), Contains(::testing::Field(&t1::Block::pcb, 0xE3)));
  EXPECT_EQ(Link()->ReadTotalTimeout, total);
}

TEST_F(Cards, CardsIfsRequestSetsTheSizeOfTheBlocksThatFollow) {
  Insert("t1");
  Start(SCARD_PROTOCOL_T1);
  sim_->WithCard([](tolvex::sim::Card& card) { card.RequestIfs(0x10); });
  EXPECT_EQ(Send(kSelectAid), Ok());
  sim_->ClearTranscript();
  const Bytes echo = Cat(Cat({0x80, 0xEE, 0x00, 0x00, 100}, Bytes(100, 0x5A)), {0x00});
  EXPECT_EQ(Send(echo), Ok(Bytes(100, 0x5A)));
  size_t blocks = 0;
  for (const t1::Block& block : HostBlocks()) {
    if (!t1::IsI(block.pcb)) continue;
    EXPECT_LE(block.inf.size(), 16u);
    ++blocks;
  }
  EXPECT_EQ(blocks, 7u);  // 106 bytes
}

TEST_F(Cards, CardPulledDuringAnExchangeEndsItWithTheReaderEmpty) {
  Insert(QuickT1Card());
  Start(SCARD_PROTOCOL_T1);
  // The card goes as the third data frame of a long command comes.
  int frames = 0;
  tolvex::sim::ReaderSim* sim = sim_;
  host_.memory_line(0)->SetListener([&frames, sim](std::span<const UCHAR> frame) {
    if ((frame[0] & 0xC0) == 0x40 && ++frames == 3) sim->RemoveCard();
    sim->HostWrote(frame);
  });
  const auto start = std::chrono::steady_clock::now();
  Bytes response;
  EXPECT_EQ(Send(Cat({0x80, 0xEE, 0x00, 0x00, 0xC8}, Bytes(200, 0x11)), &response),
            STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  EXPECT_EQ(State(), CardState::kAbsent);
  EXPECT_FALSE(sim_->card_present());
  host_.memory_line(0)->SetListener([sim](std::span<const UCHAR> frame) { sim->HostWrote(frame); });
}

struct SilenceCase {
  const char* name;
  std::uint32_t protocol;
  Status status;
  friend void PrintTo(const SilenceCase& c, std::ostream* os) { *os << c.name; }
};

class SilentReader : public Cards, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(SilentReader, EndsTheCommandInItsTimeWithTheCardOff) {
  const SilenceCase& c = GetParam();
  Insert(c.protocol == SCARD_PROTOCOL_T0 ? QuickT0Card() : QuickT1Card());
  Start(c.protocol);
  EXPECT_EQ(Send(kSelectFile), Ok());
  sim_->SilenceNextCommand();
  const auto start = std::chrono::steady_clock::now();
  Bytes response;
  EXPECT_EQ(Send(kSelectAid, &response), c.status);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_FALSE(sim_->card_powered());
  EXPECT_EQ(State(), CardState::kPresent);
}

INSTANTIATE_TEST_SUITE_P(Protocols, SilentReader,
                         ::testing::Values(SilenceCase{"T0", SCARD_PROTOCOL_T0, STATUS_IO_TIMEOUT},
                                           SilenceCase{"T1", SCARD_PROTOCOL_T1,
                                                       STATUS_DEVICE_PROTOCOL_ERROR}),
                         [](const auto& test) { return std::string(test.param.name); });

struct FailedResetCase {
  const char* name;
  std::function<void(tolvex::sim::ReaderSim&)> fault;
  Status status;
  std::vector<LONGLONG> ran_out;  // the waits that end by their time, not on a report
};

class FailedReset : public Cards, public ::testing::WithParamInterface<FailedResetCase> {};

TEST_P(FailedReset, EndsOnWhatTheReaderSaidAndSwitchesTheCardOffAtOnce) {
  const FailedResetCase& c = GetParam();
  Insert("t1");
  c.fault(*sim_);
  sim_->ClearTranscript();
  Record();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(reader_->PowerCard(Power::kColdReset, nullptr), c.status);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(host_.platform().clock().RanOutMs(std::this_thread::get_id()), c.ran_out);
  EXPECT_FALSE(sim_->card_powered());
  EXPECT_EQ(State(), CardState::kPresent);
  // The reset's own power-off is the first frame after the reset command, and the last.
  const auto frames = HostFrames(*sim_);
  const auto reset = std::find(frames.rbegin(), frames.rend(), kResetCommand).base();
  EXPECT_EQ(std::vector<Frame>(reset, frames.end()), std::vector<Frame>{kPowerOff});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedReset,
    ::testing::Values(
        FailedResetCase{
            "MuteCard", [](auto& sim) { sim.MuteAfterReset(1); }, STATUS_UNRECOGNIZED_MEDIA, {120}},
        // TS 3B and T0 84, which announces TD1 and four historical bytes that never come.
        FailedResetCase{
            "TruncatedAtrReportedEarly",
            [](auto& sim) { sim.ShortAtr(1, tolvex::sim::ShortAtrReport::kEarly, 0ms, 0x84); },
            STATUS_UNRECOGNIZED_MEDIA},
        FailedResetCase{
            "TruncatedAtrReportedLate",
            [](auto& sim) { sim.ShortAtr(1, tolvex::sim::ShortAtrReport::kLate, 300ms, 0x84); },
            STATUS_UNRECOGNIZED_MEDIA},
        FailedResetCase{"BadTs", [](auto& sim) { sim.BadTs(1, 0x12); }, STATUS_DATA_ERROR}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(Cards, CommandForAnotherProtocolIsRefused) {
  Insert("t1");
  Start(SCARD_PROTOCOL_T1);
  Bytes response;
  EXPECT_EQ(reader_->Transmit(SCARD_PROTOCOL_T0, kSelectAid, &response),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(Cards, ResponseLargerThanTheCallersRoomIsRefused) {
  for (const auto& [model, protocol] :
       {std::pair{"t0", SCARD_PROTOCOL_T0}, std::pair{"t1", SCARD_PROTOCOL_T1}}) {
    Insert(model);
    Start(protocol);
    EXPECT_EQ(Send(kSelectFile), Ok());
    Bytes response;
    EXPECT_EQ(Send({0x00, 0xB0, 0x00, 0x00, 0x08}, &response, 9), STATUS_BUFFER_TOO_SMALL) << model;
    EXPECT_EQ(Send({0x00, 0xB0, 0x00, 0x00, 0x08}, &response, 10), STATUS_SUCCESS) << model;
  }
}

}  // namespace
