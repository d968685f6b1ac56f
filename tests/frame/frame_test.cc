// The driver frame through the host: driver entry and its port mask, a start-up that fails and
// the teardown it leaves, the requests the frame serves, and card tracking.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "driver/frame/frame.h"
#include "host/host.h"
#include "host/reader.h"
#include "host/status.h"
#include "platform/platform.h"
#include "serial/memory_line.h"
#include "serial/serial_port.h"
#include "sim/reader_sim.h"
#include "support/scripted_reader.h"
#include "support/sim_frames.h"
#include "support/stc_wire.h"
#include "support/wait.h"

namespace {

using tolvex::host::CardState;
using tolvex::host::CardWait;
using tolvex::host::Host;
using tolvex::host::Reader;
using tolvex::host::Status;
using tolvex::testutil::Hex;
using Bytes = std::vector<std::uint8_t>;
using Codes = std::vector<ULONG>;
using namespace std::chrono_literals;

constexpr Host::Options kFast{.skip_delays = true};

struct MaskCase {
  const char* name;
  std::optional<std::uint32_t> mask;  // COMMask as a number (none: no value), or as `text`
  Status status;
  std::vector<unsigned> readers;
  unsigned ports = 0xF;  // the serial ports there are, by bit
  std::vector<std::uint8_t> text = {};
};

class PortMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(PortMask, StartsAReaderOnEachPortOfTheMaskAndTouchesNoOther) {
  const MaskCase& c = GetParam();
  Host host(kFast);
  for (unsigned i = 0; i < 5; ++i)
    if (c.ports >> i & 1) host.AddSimulatedPort(i);
  if (!c.text.empty()) {
    host.SetPortMaskValue(REG_SZ, c.text);
  } else {
    host.SetPortMask(c.mask);
  }
  EXPECT_EQ(host.Start(), c.status);
  EXPECT_EQ(host.Readers(), c.readers);
  for (unsigned i = 0; i < 5; ++i) {
    const bool started = std::count(c.readers.begin(), c.readers.end(), i) != 0;
    if (host.simulator(i) == nullptr) continue;
    EXPECT_EQ(tolvex::testutil::HostFrames(*host.simulator(i)).empty(), !started) << i;
    if (!started) continue;
    auto [opened, reader] = Reader::Open(host, i);  // each reader knows its own unit
    ASSERT_TRUE(reader) << i;
    EXPECT_EQ(reader->AttributeNumber(SCARD_ATTR_DEVICE_UNIT).value, i);
  }
  EXPECT_EQ(host.Stop(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Masks, PortMask,
    ::testing::Values(MaskCase{"AllBits", 0xFFFFFFFF, STATUS_SUCCESS, {0, 1, 2, 3}},
                      // A fifth port is there, but the driver serves four readers at most.
                      MaskCase{"BeyondTheLastReader", 0x10, STATUS_UNSUCCESSFUL, {}, 0x1F},
                      MaskCase{"String", 0, STATUS_OBJECT_TYPE_MISMATCH, {}, 1, {'1', 0, 0, 0}},
                      MaskCase{"NoValue", std::nullopt, STATUS_UNSUCCESSFUL, {}, 0x3},
                      MaskCase{"Zero", 0, STATUS_UNSUCCESSFUL, {}, 0x3}),
    [](const auto& test) { return std::string(test.param.name); });

// A silent reader: a script without rules on port 0's line.
struct ScriptedPort {
  explicit ScriptedPort(Host& host)
      : line(host.AddMemoryPort(0)),
        script([this](std::span<const std::uint8_t> b) { line.Send(b); }) {
    line.SetListener([this](std::span<const UCHAR> frame) { script.HostWrote(frame); });
  }
  ~ScriptedPort() { line.SetListener(nullptr); }
  tolvex::serial::MemoryLine& line;
  tolvex::sim::ScriptedReader script;
};

TEST(StartUp, SilentReaderGetsNoPowerOffNorCloseAndItsListenerEnds) {
  Host host(kFast);
  ScriptedPort port(host);
  ASSERT_EQ(host.Start(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(host.Readers(), std::vector<unsigned>{});
  EXPECT_EQ(port.script.frames(), tolvex::testutil::Wire("C0"));  // revision 0.0
  // What serial port 0 was asked from the last setting of its wait mask on: the mask set, and
  // the control requests that followed. A pass still running when the mask is cleared may ask
  // to wait once more, which the cleared mask refuses: such waits are left out.
  ULONG mask = ~0U;
  Codes codes;
  {
    tolvex::platform::PlatformScope scope(host.platform());
    PDEVICE_OBJECT device = host.platform().FindDevice(u"\\Device\\Serial0");
    ASSERT_NE(device, nullptr);
    for (const auto& r : tolvex::serial::PortOf(device)->Requests()) {
      if (r.major != IRP_MJ_DEVICE_CONTROL || r.code == IOCTL_SERIAL_WAIT_ON_MASK) continue;
      if (r.code == IOCTL_SERIAL_SET_WAIT_MASK && r.input.size() == sizeof(ULONG)) {
        std::memcpy(&mask, r.input.data(), sizeof(mask));
        codes.clear();
      } else {
        codes.push_back(r.code);
      }
    }
  }
  EXPECT_EQ(host.Stop(), "");
  // The end of the listener (the wait mask cleared), then the removal routine's purge.
  EXPECT_EQ(mask, 0u);
  EXPECT_EQ(codes, Codes{IOCTL_SERIAL_PURGE});
}

// An empty reader, started and opened by its link.
class StartedReader : public ::testing::Test {
 public:
  void SetUp() override {
    sim_ = &host_.AddSimulatedPort(0);
    ASSERT_EQ(host_.Start(), STATUS_SUCCESS);
    auto [status, reader] = Reader::Open(host_, u"\\DosDevices\\SCReader0");
    ASSERT_TRUE(reader) << std::hex << status;
    reader_ = std::move(reader);
  }
  void TearDown() override {
    reader_.reset();
    EXPECT_EQ(host_.Stop(), "");
  }
  Host host_{kFast};
  tolvex::sim::ReaderSim* sim_ = nullptr;
  std::unique_ptr<Reader> reader_;
};

Bytes Number(std::uint32_t n) {
  return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
          static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
}

TEST_F(StartedReader, RequestsAreAnsweredOrRefusedWithNothingReturned) {
  constexpr std::uint32_t kVersions = IOCTL_READER_GET_VERSIONS;
  constexpr std::uint32_t kGet = IOCTL_SMARTCARD_GET_ATTRIBUTE;
  constexpr Status kOk = STATUS_SUCCESS, kRefused = STATUS_INVALID_DEVICE_REQUEST;
  const std::string_view vendor("Norvane-Talbeck", 16);  // with its NUL
  const struct {
    std::uint32_t code;
    Bytes input;
    size_t room;
    Status status;
    Bytes output;
  } cases[] = {
      {kVersions, {}, 64, kOk, Hex("50 01 00 00 01 00 02 01")},
      {kVersions, {}, 7, STATUS_BUFFER_TOO_SMALL, {}},
      {0x312008, {}, 8, kRefused, {}},                                // another vendor request
      {0x31200C, {}, 4, kRefused, {}},                                // and the next one
      {IOCTL_SMARTCARD_POWER, {}, 64, STATUS_INVALID_PARAMETER, {}},  // without its code
      {kGet, Number(SCARD_ATTR_VENDOR_NAME), 64, kOk, Bytes(vendor.begin(), vendor.end())},
      {kGet, Number(SCARD_ATTR_VENDOR_IFD_VERSION), 64, kOk, Number(0x02010000)},
      {kGet, Number(SCARD_ATTR_VENDOR_NAME), 3, STATUS_BUFFER_TOO_SMALL, {}},
      {kGet, {0x00, 0x01}, 64, STATUS_INVALID_PARAMETER, {}},  // no whole tag
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const auto [status, out] = reader_->Control(c.code, c.input, c.room);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out, c.output);
  }
  EXPECT_EQ(reader_->AttributeNumber(SCARD_ATTR_MAX_IFSD).value, 254u);  // a number as such
}

// What a PC/SC application reads of the reader: with no card, then with a T=1 card powered and
// its protocol set (the simulator's t1 card: IFSC 32, no extra guard time).
TEST_F(StartedReader, AttributesTellWhatTheReaderAndTheCardAre) {
  auto text = [](std::string_view s) { return Bytes(s.begin(), s.end() + 1); };  // with NUL
  const Bytes atr = Hex("3B 82 81 31 20 45 54 31 32");
  const struct {
    std::uint32_t tag;
    bool card;  // asked with the card powered and T=1 set
    Status status;
    Bytes value;
  } rows[] = {
      {SCARD_ATTR_VENDOR_NAME, false, STATUS_SUCCESS, text("Norvane-Talbeck")},
      {SCARD_ATTR_VENDOR_IFD_TYPE, false, STATUS_SUCCESS, text("Brightwarden Serial SCR")},
      {SCARD_ATTR_VENDOR_IFD_VERSION, false, STATUS_SUCCESS, Number(0x02010000)},
      {SCARD_ATTR_VENDOR_IFD_SERIAL_NO, false, STATUS_SUCCESS, {}},
      {SCARD_ATTR_DEVICE_UNIT, false, STATUS_SUCCESS, Number(0)},
      {SCARD_ATTR_CHANNEL_ID, false, STATUS_SUCCESS, Number(0x00010000)},  // serial, channel 0
      {SCARD_ATTR_PROTOCOL_TYPES, false, STATUS_SUCCESS, Number(3)},
      {SCARD_ATTR_DEFAULT_CLK, false, STATUS_SUCCESS, Number(3580)},
      {SCARD_ATTR_MAX_CLK, false, STATUS_SUCCESS, Number(3580)},
      {SCARD_ATTR_CURRENT_CLK, false, STATUS_SUCCESS, Number(3580)},
      {SCARD_ATTR_DEFAULT_DATA_RATE, false, STATUS_SUCCESS, Number(9600)},
      {SCARD_ATTR_MAX_DATA_RATE, false, STATUS_SUCCESS, Number(9600)},
      {SCARD_ATTR_MAX_IFSD, false, STATUS_SUCCESS, Number(254)},
      {SCARD_ATTR_POWER_MGMT_SUPPORT, false, STATUS_SUCCESS, Number(0)},
      {SCARD_ATTR_CHARACTERISTICS, false, STATUS_SUCCESS, Number(0)},
      {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, false, STATUS_SUCCESS, Number(0)},
      {SCARD_ATTR_ICC_PRESENCE, false, STATUS_SUCCESS, Number(0)},
      {SCARD_ATTR_ICC_INTERFACE_STATUS, false, STATUS_SUCCESS, Number(0)},
      {SCARD_ATTR_CARD_STATE, false, STATUS_SUCCESS, Number(SCARD_ABSENT)},
      {SCARD_ATTR_ATR_STRING, false, STATUS_INVALID_DEVICE_STATE, {}},
      {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, true, STATUS_SUCCESS, Number(SCARD_PROTOCOL_T1)},
      {SCARD_ATTR_CURRENT_IFSC, true, STATUS_SUCCESS, Number(32)},
      {SCARD_ATTR_CURRENT_N, true, STATUS_SUCCESS, Number(0)},
      {SCARD_ATTR_ATR_STRING, true, STATUS_SUCCESS, atr},
      {SCARD_ATTR_ICC_PRESENCE, true, STATUS_SUCCESS, Number(2)},
      {SCARD_ATTR_ICC_INTERFACE_STATUS, true, STATUS_SUCCESS, Number(1)},
      {SCARD_ATTR_CARD_STATE, true, STATUS_SUCCESS, Number(SCARD_SPECIFIC)},
      {SCARD_ATTR_MAX_IFSD, true, STATUS_SUCCESS, Number(254)},
      {0x7A007, true, STATUS_NOT_SUPPORTED, {}},
  };
  for (const auto& row : rows) {
    if (row.card && reader_->State().value < CardState::kPowered) {
      sim_->InsertCard("t1");
      ASSERT_EQ(reader_->WaitForCard(CardWait::kPresent, 10s), STATUS_SUCCESS);
      ASSERT_EQ(reader_->PowerCard(tolvex::host::Power::kColdReset).value, atr);
      ASSERT_EQ(reader_->SetProtocol(SCARD_PROTOCOL_T1).value, SCARD_PROTOCOL_T1);
    }
    SCOPED_TRACE(std::to_string(&row - rows));
    const auto [status, value] = reader_->Attribute(row.tag);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(value, row.value);
  }
}

TEST_F(StartedReader, PendingWatchEndsAsItsCauseSays) {
  // A watch for a card still pending (there is none): another open, also one that finds the
  // reader busy, cancels it;
  auto waiting = reader_->StartWaitForCard(CardWait::kPresent);
  EXPECT_EQ(waiting->Wait(20ms), STATUS_TIMEOUT);
  const auto other = Reader::Open(host_, 0);
  EXPECT_EQ(other.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(other.value, nullptr);
  EXPECT_EQ(waiting->Wait(10s), STATUS_CANCELLED);
  // a second watch is refused, and the first goes on until a card comes.
  waiting = reader_->StartWaitForCard(CardWait::kPresent);
  EXPECT_EQ(waiting->Wait(20ms), STATUS_TIMEOUT);
  EXPECT_EQ(reader_->StartWaitForCard(CardWait::kPresent)->Wait(10s), STATUS_DEVICE_BUSY);
  sim_->InsertCard("t1");
  EXPECT_EQ(waiting->Wait(10s), STATUS_SUCCESS);
}

TEST_F(StartedReader, CancellationAndPresenceChangeMeetingCompleteOnce) {
  // Either may win; the request is completed exactly once (a second completion stops the
  // process).
  bool card_in = false;
  for (int round = 0; round < 150; ++round) {
    auto waiting = reader_->StartWaitForCard(card_in ? CardWait::kAbsent : CardWait::kPresent);
    std::thread changer([&] { card_in ? sim_->RemoveCard() : (void)sim_->InsertCard("t0"); });
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(round % 7 * 50));
      waiting->Cancel();
    });
    changer.join();
    canceller.join();
    const Status status = waiting->Wait(10s);
    ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
    card_in = !card_in;
    // The reader's report of this change is taken in before the next watch starts.
    ASSERT_TRUE(tolvex::testutil::WaitUntil([&] {
      const auto [asked, state] = reader_->State();
      return asked == STATUS_SUCCESS && (state >= CardState::kPresent) == card_in;
    }));
  }
}

// Data-set-ready changes under a started reader (unplugged from its UART, or switched off): the
// driver stops hearing it. A request in flight then ends with the time-out status at once, not
// when its own time runs out, and so does every later request that waits for the reader; the
// host says the line was lost. Started again once the line is back, the reader and its card
// work as before. For each row: what the request in flight gets and that none of its waits ran
// out, what a later request gets, what the host says, and the reader once its driver is started
// again, with nothing left allocated.
enum class InFlight { kNothing, kTransmit, kPowerUp };

struct DsrCase {
  const char* name;
  const char* card;
  InFlight in_flight;
  Status in_flight_gets = STATUS_IO_TIMEOUT;
};

tolvex::serial::SerialPort& Port0(Host& host) {
  tolvex::platform::PlatformScope scope(host.platform());
  return *tolvex::serial::PortOf(host.platform().FindDevice(u"\\Device\\Serial0"));
}

// Whether serial port 0 has been purged both ways (the removal routine's purge, the last thing
// it asks) since its requests were cleared.
bool Purged(Host& host) {
  for (const auto& r : Port0(host).Requests()) {
    if (r.code == IOCTL_SERIAL_PURGE && r.input.size() == sizeof(ULONG) &&
        r.input[0] == (SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)) {
      return true;
    }
  }
  return false;
}

class DsrChange : public ::testing::TestWithParam<DsrCase> {};

TEST_P(DsrChange, EndsWhatWaitsForTheReaderUntilItsDriverStartsAgain) {
  const DsrCase& c = GetParam();
  Host host(kFast);
  tolvex::sim::ReaderSim& sim = host.AddSimulatedPort(0);
  ASSERT_TRUE(sim.InsertCard(c.card, /*report=*/false));
  ASSERT_EQ(host.Start(), STATUS_SUCCESS);
  auto reader = Reader::Open(host, 0).value;
  ASSERT_TRUE(reader);
  const std::uint32_t protocol = std::string_view(c.card) == "t0" ? 1 : 2;
  const Bytes challenge = {0x00, 0x84, 0x00, 0x00, 0x08};
  ASSERT_EQ(reader->PowerCard(tolvex::host::Power::kColdReset).status, STATUS_SUCCESS);
  ASSERT_EQ(reader->SetProtocol(protocol).value, protocol);

  tolvex::platform::Clock& clock = host.platform().clock();
  clock.StartRecording();
  std::promise<std::thread::id> caller_id;
  std::future<Status> in_flight;
  if (c.in_flight != InFlight::kNothing) {
    sim.SilenceNextCommand();
    in_flight = std::async(std::launch::async, [&] {
      caller_id.set_value(std::this_thread::get_id());
      return c.in_flight == InFlight::kTransmit
                 ? reader->Transmit(protocol, challenge).status
                 : reader->PowerCard(tolvex::host::Power::kColdReset).status;
    });
    const std::thread::id caller = caller_id.get_future().get();
    // Dropped while the caller waits for the reader, with time left to wait.
    ASSERT_TRUE(tolvex::testutil::WaitUntil([&] {
      const auto waits = clock.WaitsMs(caller);
      return !waits.empty() && waits.back() >= 500;
    })) << ::testing::PrintToString(clock.WaitsMs(caller));
  }
  EXPECT_EQ(host.Lost(0), tolvex::host::LineLoss::kNone);
  Port0(host).ClearRequests();
  sim.SetDsr(false);
  if (in_flight.valid()) {
    EXPECT_EQ(in_flight.get(), c.in_flight_gets);
  }
  ASSERT_TRUE(tolvex::testutil::WaitUntil([&] { return Purged(host); }));
  EXPECT_EQ(host.Lost(0), tolvex::host::LineLoss::kDataSetReady);
  // A later request that waits for the reader ends at once, as the one in flight did: no wait
  // ran out.
  EXPECT_EQ(reader->PowerCard(tolvex::host::Power::kColdReset).status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(clock.RanOutMs(), std::vector<LONGLONG>{});
  clock.StopRecording();

  // Back, and started again.
  sim.ClearFaults();
  sim.SetDsr(true);
  ASSERT_TRUE(tolvex::testutil::WaitUntil(
      [&] { return host.memory_line(0)->ModemStatus() & SERIAL_DSR_STATE; }));
  reader.reset();
  // The driver no longer hearing the reader leaves nothing behind; the reader has answered what
  // it was sent (with the pacing delays skipped, the teardown's pause after its power-off does
  // not wait for that) before the driver starts again.
  EXPECT_EQ(host.StopDriver(), "");
  host.memory_line(0)->WaitDelivered();
  EXPECT_EQ(host.RestartDriver(), STATUS_SUCCESS);
  EXPECT_EQ(host.Lost(0), tolvex::host::LineLoss::kNone);
  reader = Reader::Open(host, 0).value;
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->State().value, CardState::kSwallowed);
  EXPECT_FALSE(reader->PowerCard(tolvex::host::Power::kColdReset).value.empty());
  EXPECT_EQ(reader->SetProtocol(protocol).value, protocol);
  const auto answer = reader->Transmit(protocol, challenge);
  EXPECT_EQ(answer.value.size(), 10u);
  reader.reset();
  EXPECT_EQ(host.Stop(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DsrChange,
    ::testing::Values(DsrCase{"IdleT0", "t0", InFlight::kNothing},
                      DsrCase{"IdleT1", "t1", InFlight::kNothing},
                      DsrCase{"T0TransmitInFlight", "t0", InFlight::kTransmit},
                      // The library gives up on the card after its retries, each at once.
                      DsrCase{"T1TransmitInFlight", "t1", InFlight::kTransmit,
                              STATUS_DEVICE_PROTOCOL_ERROR},
                      DsrCase{"PowerUpInFlight", "t1", InFlight::kPowerUp}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
