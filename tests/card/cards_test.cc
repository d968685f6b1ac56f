// Cards as an application uses them, through the host against the simulated reader: what a
// command the reader leaves unanswered, or one for the wrong protocol, ends in.
#include <gtest/gtest.h>

#include <chrono>

#include "driver/frame/frame.h"
#include "host/host.h"
#include "host/reader.h"
#include "sim/application.h"
#include "sim/reader_sim.h"
#include "sim/t0_card.h"
#include "sim/t1_card.h"
#include "support/sim_apdus.h"

namespace {

using tolvex::host::CardState;
using tolvex::host::CardWait;
using tolvex::host::Power;
using tolvex::host::Status;
using tolvex::sim::Application;
using tolvex::sim::ReaderSim;
using tolvex::testutil::Cat, tolvex::testutil::Ok;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const Bytes kSelectAid = Cat({0x00, 0xA4, 0x04, 0x00, 0x07}, Application::Aid());
const Bytes kSelectFile = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01};

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
