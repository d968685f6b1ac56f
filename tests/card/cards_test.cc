// Cards as an application uses them, through the host against the simulated reader: a warm reset
// and power-down, T=0 commands, and what a command the reader leaves unanswered ends in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "driver/frame/frame.h"
#include "host/host.h"
#include "host/reader.h"
#include "sim/application.h"
#include "sim/t0_card.h"
#include "sim/t1_card.h"
#include "support/sim_apdus.h"
#include "support/sim_frames.h"
#include "support/stc_wire.h"

namespace {

using ::testing::Contains;
using ::testing::Not;
using tolvex::host::CardState;
using tolvex::host::CardWait;
using tolvex::host::Power;
using tolvex::host::Status;
using tolvex::sim::Application;
using tolvex::sim::ReaderSim;
using tolvex::testutil::Cat, tolvex::testutil::File, tolvex::testutil::Ok;
using tolvex::testutil::Frame;
using tolvex::testutil::HostFrames;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const Bytes kSelectAid = Cat({0x00, 0xA4, 0x04, 0x00, 0x07}, Application::Aid());
const Bytes kSelectFile = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01};
using tolvex::testutil::kPowerOff;
using tolvex::testutil::kResetCommand;

// Cards whose ATRs ask for short waits (T=0: WI 1; T=1: BWI 1, CWI 1), for the faults that
// are only over when the driver's waits run out.
std::unique_ptr<tolvex::sim::Card> MakeCard(std::string_view model) {
  if (model == "t0-quick") return tolvex::sim::MakeT0Card({.atr = {0x3B, 0x80, 0x40, 0x01}});
  if (model == "t1-quick") return tolvex::sim::MakeT1Card({.bwi = 1, .cwi = 1});
  return tolvex::sim::MakeCard(model);
}

class Cards : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = &host_.AddSimulatedPort(0);
    ASSERT_EQ(host_.Start(), STATUS_SUCCESS);
    auto [status, reader] = tolvex::host::Reader::Open(host_, 0);
    ASSERT_TRUE(reader) << std::hex << status;
    reader_ = std::move(reader);
  }
  void TearDown() override {
    reader_.reset();
    EXPECT_EQ(host_.Stop(), "");
  }

  // Puts a card in once the driver has heard of it.
  void Insert(std::string_view model) {
    model_ = model;
    sim_->InsertCard(MakeCard(model));
    ASSERT_EQ(reader_->WaitForCard(CardWait::kPresent, 10s), STATUS_SUCCESS);
  }
  // Powers the card up cold, checks its ATR and state, and selects `protocol`.
  void Start(std::uint32_t protocol) {
    const auto [status, atr] = reader_->PowerCard(Power::kColdReset);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(atr, MakeCard(model_)->Reset());
    const auto in_force = reader_->AttributeNumber(SCARD_ATTR_CURRENT_PROTOCOL_TYPE);
    EXPECT_EQ(in_force.status, STATUS_SUCCESS);
    EXPECT_EQ(in_force.value, SCARD_PROTOCOL_UNDEFINED);
    EXPECT_EQ(State(), CardState::kNegotiable);
    EXPECT_TRUE(sim_->card_powered());
    const auto [selecting, selected] = reader_->SetProtocol(protocol);
    ASSERT_EQ(selecting, STATUS_SUCCESS);
    ASSERT_EQ(selected, protocol);
    protocol_ = protocol;
  }
  Bytes Send(const Bytes& apdu) {
    auto [status, response] = reader_->Transmit(protocol_, apdu);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return response;
  }
  CardState State() {
    const auto [status, state] = reader_->State();
    EXPECT_EQ(status, STATUS_SUCCESS);
    return state;
  }

  tolvex::host::Host host_{tolvex::host::Host::Options{.skip_delays = true}};
  ReaderSim* sim_ = nullptr;
  std::unique_ptr<tolvex::host::Reader> reader_;
  std::string_view model_;
  std::uint32_t protocol_ = 0;
};

TEST_F(Cards, WarmResetKeepsTheCardPoweredAndPowerDownEndsIt) {
  ASSERT_EQ(reader_->PowerCard(Power::kDown).status, STATUS_SUCCESS);
  EXPECT_EQ(State(), CardState::kAbsent);
  EXPECT_EQ(reader_->WaitForCard(CardWait::kPresent, 30ms), STATUS_TIMEOUT);
  // A wait for what already holds ends at once.
  EXPECT_EQ(reader_->WaitForCard(CardWait::kAbsent, 10s), STATUS_SUCCESS);

  Insert("dual");
  const auto cold = reader_->PowerCard(Power::kColdReset);
  ASSERT_EQ(cold.status, STATUS_SUCCESS);
  sim_->ClearTranscript();
  const auto warm = reader_->PowerCard(Power::kWarmReset);
  ASSERT_EQ(warm.status, STATUS_SUCCESS);
  EXPECT_EQ(warm.value, cold.value);
  EXPECT_THAT(HostFrames(*sim_), Contains(kResetCommand));
  EXPECT_THAT(HostFrames(*sim_), Not(Contains(kPowerOff)));
  ASSERT_EQ(reader_->PowerCard(Power::kDown).status, STATUS_SUCCESS);
  EXPECT_FALSE(sim_->card_powered());
  EXPECT_EQ(State(), CardState::kPresent);
  EXPECT_EQ(reader_->Attribute(SCARD_ATTR_ATR_STRING).status, STATUS_INVALID_DEVICE_STATE);
}

// A T=0 card: a command of each case, GET RESPONSE, and a repeat with the Le the card asked for.
TEST_F(Cards, T0CardServesCommandsOfAllFourCases) {
  Insert("t0-bytewise");
  Start(SCARD_PROTOCOL_T0);
  EXPECT_EQ(Send({0x00, 0xA4, 0x04, 0x00}), (Bytes{0x67, 0x00}));
  EXPECT_EQ(Send(kSelectAid), Ok());
  EXPECT_EQ(Send({0x00, 0x84, 0x00, 0x00, 0x08}), Ok(Application::ChallengeBytes(0x5EED, 8)));
  EXPECT_EQ(Send({0x80, 0xEE, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00}), (Bytes{0x61, 0x03}));
  EXPECT_EQ(Send({0x00, 0xC0, 0x00, 0x00, 0x03}), Ok({0x01, 0x02, 0x03}));
  EXPECT_EQ(Send(kSelectFile), Ok());
  EXPECT_EQ(Send({0x00, 0xB0, 0x00, 0x00, 0x00}), Ok(File(0, 256)));  // Le 256
  EXPECT_EQ(Send({0x00, 0xB0, 0x01, 0x3C, 0x10}), (Bytes{0x6C, 0x04}));
  EXPECT_EQ(Send({0x00, 0xB0, 0x01, 0x3C, 0x04}), Ok(File(316, 4)));
}

// A command after a select that succeeded, which the reader leaves unanswered or which is sent
// for T=0 to a T=1 card: its status, and what it leaves.
struct FaultCase {
  const char* name;
  const char* model;
  bool silence;  // else sent for T=0
  Status status;
  CardState state;
};

class CommandFault : public Cards, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CommandFault, EndsInItsTimeWithTheCardAsItLeftIt) {
  const FaultCase& c = GetParam();
  const std::uint32_t protocol = c.model[1] == '0' ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
  Insert(c.model);
  Start(protocol);
  EXPECT_EQ(Send(kSelectFile), Ok());
  if (c.silence) sim_->SilenceNextCommand();
  const auto start = std::chrono::steady_clock::now();
  const auto [status, response] =
      reader_->Transmit(c.silence ? protocol : SCARD_PROTOCOL_T0, kSelectAid);
  EXPECT_EQ(status, c.status);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  EXPECT_TRUE(response.empty());
  EXPECT_EQ(sim_->card_powered(), c.state == CardState::kSpecific);
  EXPECT_EQ(State(), c.state);
}

const FaultCase kFaults[] = {
    {"SilentReaderT0", "t0-quick", true, STATUS_IO_TIMEOUT, CardState::kPresent},
    {"SilentReaderT1", "t1-quick", true, STATUS_DEVICE_PROTOCOL_ERROR, CardState::kPresent},
    {"ForT0", "t1", false, STATUS_INVALID_DEVICE_REQUEST, CardState::kSpecific},
};

INSTANTIATE_TEST_SUITE_P(Faults, CommandFault, ::testing::ValuesIn(kFaults),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
