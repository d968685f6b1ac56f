// Cards as an application uses them, through the host against the simulated reader: what a
// command the reader leaves unanswered, or one for the wrong protocol, ends in.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "driver/frame/frame.h"
#include "host/host.h"
#include "host/reader.h"
#include "sim/application.h"
#include "sim/faults.h"
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

// Extended-length APDUs under T=1: commands and answers longer than a short APDU's, chained
// through the card's IFSC and the reader's IFSD, with faults of the block protocol in the
// middle of a long chain. For each row: what the application gets, and that the card takes a
// short command after it (nothing is left out of step).
struct LongCase {
  const char* name;
  const char* model;
  Bytes apdu;
  Bytes response;               // data and SW1 SW2; empty: the status only
  const char* fault = nullptr;  // planted before the command: "NAME ARGS; NAME ARGS"
  Status status = STATUS_SUCCESS;
};

void PrintTo(const LongCase& c, std::ostream* os) {
  *os << c.name;
}

// `n` bytes of every value, the escape byte 10 among them.
Bytes EchoData(std::size_t n) {
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return data;
}
// ECHO of those bytes, with Le 00 00.
Bytes Echo(std::size_t n) {
  Bytes apdu = {0x80,
                0xEE,
                0x00,
                0x00,
                0x00,
                static_cast<std::uint8_t>(n >> 8),
                static_cast<std::uint8_t>(n)};
  const Bytes data = EchoData(n);
  apdu.insert(apdu.end(), data.begin(), data.end());
  apdu.push_back(0x00);
  apdu.push_back(0x00);
  return apdu;
}
Bytes EchoAnswer(std::size_t n) {
  return Ok(EchoData(n));
}
// GET CHALLENGE of `n` bytes: short (Le 00) for 256, extended beyond.
Bytes Challenge(std::size_t n) {
  if (n == 256) return {0x00, 0x84, 0x00, 0x00, 0x00};
  return {0x00,
          0x84,
          0x00,
          0x00,
          0x00,
          static_cast<std::uint8_t>(n >> 8),
          static_cast<std::uint8_t>(n)};
}
Bytes ChallengeAnswer(std::size_t n) {
  return Ok(Application::ChallengeBytes(tolvex::sim::T1CardOptions{}.seed, n));
}

class LongApdu : public Cards, public ::testing::WithParamInterface<LongCase> {};

TEST_P(LongApdu, GoesWholeBothWaysAndLeavesTheCardInStep) {
  const LongCase& c = GetParam();
  Insert(c.model);
  Start(SCARD_PROTOCOL_T1);
  std::istringstream faults(c.fault != nullptr ? c.fault : "");
  for (std::string fault; std::getline(faults, fault, ';');) {
    std::vector<std::string> words;
    std::istringstream in(fault);
    for (std::string word; in >> word;) words.push_back(word);
    const std::string name = words.front();
    words.erase(words.begin());
    ASSERT_EQ(tolvex::sim::ApplyFault(*sim_, name, words).substr(0, 2), "ok") << fault;
  }
  const auto [status, response] = reader_->Transmit(protocol_, c.apdu);
  EXPECT_EQ(status, c.status);
  if (c.status == STATUS_SUCCESS) {
    EXPECT_EQ(response.size(), c.response.size());
    EXPECT_TRUE(response == c.response) << "the response differs";
  } else {
    EXPECT_TRUE(response.empty());
  }
  EXPECT_EQ(Send(kSelectFile), Ok());
  EXPECT_EQ(Send(Echo(300)), EchoAnswer(300));
}

const LongCase kLongCases[] = {
    {"In256", "t1", Echo(256), EchoAnswer(256)},
    {"In257Crc", "t1-crc", Echo(257), EchoAnswer(257)},
    {"In261Dual", "dual", Echo(261), EchoAnswer(261)},
    {"In1000", "t1", Echo(1000), EchoAnswer(1000)},
    {"In4096", "t1", Echo(4096), EchoAnswer(4096)},
    {"In65535", "t1", Echo(65535), EchoAnswer(65535)},
    {"Out256Short", "t1", Challenge(256), ChallengeAnswer(256)},
    {"Out257", "t1", Challenge(257), ChallengeAnswer(257)},
    {"Out4096Dual", "dual", Challenge(4096), ChallengeAnswer(4096)},
    {"Out65536", "t1", Challenge(65536), ChallengeAnswer(65536)},
    // Lc says three bytes, two come: the card finds the command too short.
    {"ExtendedLengthsThatDisagree",
     "t1",
     {0x80, 0xEE, 0x00, 0x00, 0x00, 0x00, 0x03, 0x01, 0x02},
     {0x67, 0x00}},
    // The card gives its answer up halfway: the request fails, and the card is in step after.
    {"CardAbortsItsChain", "t1", Challenge(4096), {}, "abort-chain", STATUS_DEVICE_PROTOCOL_ERROR},
    // A damaged character in the middle of the card's chain, and a block of the command the
    // card finds damaged: each block is sent again, and the APDU goes through.
    {"DamagedBlockInTheAnswer", "t1", Challenge(4096), ChallengeAnswer(4096), "damage 1000"},
    {"DamagedBlockOfTheCommand", "t1", Echo(1000), EchoAnswer(1000), "card-parity"},
};

// The card lowers its IFSC with its own S(IFS request); then a failure makes the host
// resynchronise, which takes both sides back to the ATR's IFSC: a long command goes in blocks
// of that size, and the card takes them.
TEST_F(Cards, AResynchronisationUndoesTheCardsIfsRequest) {
  Insert("t1");
  Start(SCARD_PROTOCOL_T1);
  ASSERT_EQ(tolvex::sim::ApplyFault(*sim_, "ifs-request", {{"10"}}).substr(0, 2), "ok");
  EXPECT_EQ(Send(Echo(100)), EchoAnswer(100));  // the blocks after the request: 16 bytes
  sim_->NegativeAnswer();
  EXPECT_NE(reader_->Transmit(protocol_, kSelectFile).status, STATUS_SUCCESS);
  EXPECT_EQ(Send(Echo(1000)), EchoAnswer(1000));  // resynchronised first
}

// The challenges a card gives after each power-up: from its model's seed, from the seed the
// simulator was given, or drawn afresh at every reset (tolvex-sim without --seed).
TEST(Challenges, FollowTheSimulatorsSeedOrAreDrawnAfreshAtEachReset) {
  using Challenges = tolvex::sim::ReaderOptions::Challenges;
  const Bytes challenge8 = {0x00, 0x84, 0x00, 0x00, 0x08};
  const struct {
    Challenges challenges;
    std::uint32_t seed;
    bool same;            // after each power-up
    std::uint32_t known;  // the seed they come from, 0 for none
  } rows[] = {{Challenges::kModelSeed, 0, true, tolvex::sim::T1CardOptions{}.seed},
              {Challenges::kSeed, 7, true, 7},
              {Challenges::kFresh, 0, false, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.challenges));
    tolvex::host::Host host({.skip_delays = true});
    tolvex::sim::ReaderOptions options;
    options.challenges = row.challenges;
    options.challenge_seed = row.seed;
    ReaderSim& sim = host.AddSimulatedPort(0, options);
    ASSERT_TRUE(sim.InsertCard("t1", /*report=*/false));
    ASSERT_EQ(host.Start(), STATUS_SUCCESS);
    auto reader = tolvex::host::Reader::Open(host, 0).value;
    ASSERT_TRUE(reader);
    std::vector<Bytes> got;
    for (int power_up = 0; power_up < 3; ++power_up) {
      ASSERT_EQ(reader->PowerCard(Power::kColdReset).status, STATUS_SUCCESS);
      ASSERT_EQ(reader->SetProtocol(SCARD_PROTOCOL_T1).value, SCARD_PROTOCOL_T1);
      got.push_back(reader->Transmit(SCARD_PROTOCOL_T1, challenge8).value);
      ASSERT_EQ(got.back().size(), 10u);
    }
    EXPECT_EQ(got[0] == got[1] && got[1] == got[2], row.same);
    EXPECT_EQ(got[0] != got[1] && got[1] != got[2] && got[0] != got[2], !row.same);
    if (row.known != 0) {
      EXPECT_EQ(got[0], Ok(Application::ChallengeBytes(row.known, 8)));
    }
    reader.reset();
    EXPECT_EQ(host.Stop(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongApdu, ::testing::ValuesIn(kLongCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
