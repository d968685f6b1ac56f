// The driver frame through the host: driver entry and its port mask, start-up and what its
// failure at each step leaves on the wire, open and close, the requests the frame serves, card
// tracking, and teardown.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "driver/frame/frame.h"
#include "host/host.h"
#include "host/reader.h"
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
using tolvex::host::Power;
using tolvex::host::Reader;
using tolvex::host::Request;
using tolvex::host::Status;
using tolvex::testutil::Frame;
using tolvex::testutil::Hex;
using tolvex::testutil::HostFrames;
using tolvex::testutil::Program;
using tolvex::testutil::WaitUntil;
using tolvex::testutil::Wire;
using Bytes = std::vector<std::uint8_t>;
using Codes = std::vector<ULONG>;
using namespace std::chrono_literals;

constexpr Host::Options kFast{.skip_delays = true};
// What serial port 0 was asked from the last setting of its wait mask on: the mask set, and the
// control requests that followed. A pass still running when the mask is cleared may ask to wait
// once more, which the cleared mask refuses: such waits are left out.
std::pair<ULONG, Codes> SinceLastWaitMask(Host& host) {
  tolvex::platform::PlatformScope scope(host.platform());
  ULONG mask = ~0U;
  Codes codes;
  PDEVICE_OBJECT device = host.platform().FindDevice(u"\\Device\\Serial0");
  if (device == nullptr) return {mask, codes};
  for (const auto& r : tolvex::serial::PortOf(device)->Requests()) {
    if (r.major != IRP_MJ_DEVICE_CONTROL || r.code == IOCTL_SERIAL_WAIT_ON_MASK) continue;
    if (r.code == IOCTL_SERIAL_SET_WAIT_MASK && r.input.size() == sizeof(ULONG)) {
      std::memcpy(&mask, r.input.data(), sizeof(mask));
      codes.clear();
    } else {
      codes.push_back(r.code);
    }
  }
  return {mask, codes};
}
// The end of the listener (the wait mask cleared), then the removal routine's purge.
const std::pair<ULONG, Codes> kListenerEnds = {0, {IOCTL_SERIAL_PURGE}};

struct MaskCase {
  const char* name;
  std::optional<std::uint32_t> mask;  // COMMask as a number; none: no value
  Status status;
  std::vector<unsigned> readers;
  unsigned ports = 0xF;    // the serial ports there are, by bit
  unsigned failing = 0;    // those among them whose open fails
  std::uint32_t type = 0;  // otherwise COMMask of this registry type, with these bytes
  std::vector<std::uint8_t> value = {};
};

class PortMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(PortMask, StartsAReaderOnEachPortOfTheMaskAndTouchesNoOther) {
  const MaskCase& c = GetParam();
  Host host(kFast);
  for (unsigned i = 0; i < 4; ++i) {
    if (c.failing >> i & 1) {
      host.AddMemoryPort(i).FailNextOpen(STATUS_ACCESS_DENIED);
    } else if (c.ports >> i & 1) {
      host.AddSimulatedPort(i);
    }
  }
  if (c.type != 0) {
    host.SetPortMaskValue(c.type, c.value);
  } else {
    host.SetPortMask(c.mask);
  }
  EXPECT_EQ(host.Start(), c.status);
  EXPECT_EQ(host.Readers(), c.readers);
  for (unsigned i = 0; i < 4; ++i) {
    const bool started = std::count(c.readers.begin(), c.readers.end(), i) != 0;
    if (host.simulator(i) == nullptr) continue;  // a port that does not open
    EXPECT_EQ(HostFrames(*host.simulator(i)).empty(), !started) << i;
  }
  EXPECT_EQ(host.Stop(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Masks, PortMask,
    ::testing::Values(MaskCase{"NoValue", std::nullopt, STATUS_UNSUCCESSFUL, {}},
                      MaskCase{"AllBits", 0xFFFFFFFF, STATUS_SUCCESS, {0, 1, 2, 3}},
                      MaskCase{"Ports0And2", 0x5, STATUS_SUCCESS, {0, 2}},
                      MaskCase{"MissingPort", 0x1, STATUS_UNSUCCESSFUL, {}, 0xE},
                      MaskCase{"OneOfTwoFailsToOpen", 0x3, STATUS_SUCCESS, {1}, 0x3, 0x1},
                      MaskCase{
                          "String", {}, STATUS_OBJECT_TYPE_MISMATCH, {}, 1, 0, 1, {'1', 0, 0, 0}}),
    [](const auto& test) { return std::string(test.param.name); });

// A reader played by a script on port 0's line.
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

struct StartCase {
  const char* name;
  const char* script;  // the reader's answers
  void (*prepare)(Host&);
  Status status;
  std::string frames;                     // start-up, then the teardown it or the unload did
  bool listener_ended = true;             // the wait mask cleared, then the removal routine's purge
  CardState state = CardState::kUnknown;  // after a start-up that succeeded
};

class StartUp : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartUp, SendsItsCommandsAndLeavesATeardownFitForHowFarItGot) {
  const StartCase& c = GetParam();
  Host host(kFast);
  ScriptedPort port(host);
  Program(port.script, c.script);
  if (c.prepare != nullptr) c.prepare(host);
  ASSERT_EQ(host.Start(), c.status);
  const bool started = c.status == STATUS_SUCCESS;
  EXPECT_EQ(host.Readers(), started ? std::vector<unsigned>{0} : std::vector<unsigned>{});
  if (started) {
    auto [status, reader] = Reader::Open(host, 0);
    ASSERT_TRUE(reader) << std::hex << status;
    EXPECT_EQ(reader->State().value, c.state);
    reader.reset();
    EXPECT_EQ(host.StopDriver(), "");
  }
  EXPECT_EQ(port.script.frames(), Wire(c.frames));
  const auto since = SinceLastWaitMask(host);
  EXPECT_EQ(host.Stop(), "");
  if (!c.listener_ended) return;
  EXPECT_EQ(since, kListenerEnds);
}

void TakeEveryLinkName(Host& host) {
  tolvex::platform::PlatformScope scope(host.platform());
  for (int n = 0; n < 256; ++n) {
    const auto name = u"\\DosDevices\\SCReader" + tolvex::platform::ToU16(std::to_string(n));
    ASSERT_EQ(host.platform().CreateLink(name, u"\\Device\\Elsewhere"), STATUS_SUCCESS);
  }
}

// Revision, start-up table, presence; power-off, and the close table.
constexpr const char* kRan = "C0, 88 00, 82 4F, C4, 84 00, 84 00, 82 00";

INSTANTIATE_TEST_SUITE_P(
    Steps, StartUp,
    ::testing::Values(
        StartCase{"CardIn", "C0 > 21, C4 > 01, * > 90", nullptr, STATUS_SUCCESS, kRan, true,
                  CardState::kSwallowed},
        // A card report with the revision, before the library's data exists, is dropped: the
        // presence read sets the state.
        StartCase{"EarlyReportGivesWayToThePresenceRead", "C0 > 21 10 85, C4 > 00, * > 90", nullptr,
                  STATUS_SUCCESS, kRan, true, CardState::kAbsent},
        // Revision 0.0: no power-off, no close.
        StartCase{"SilentReader", "", nullptr, STATUS_UNSUCCESSFUL, "C0"},
        StartCase{"RefusedTableRow", "C0 > 21, 88 00 > 90, 82 4F > 84, * > 90", nullptr,
                  STATUS_UNSUCCESSFUL, "C0, 88 00, 82 4F, 84 00, 84 00, 82 00"},
        StartCase{"RefusedPowerOffSkipsTheClose", "C0 > 21, 88 00 > 84, 84 00 > 84", nullptr,
                  STATUS_UNSUCCESSFUL, "C0, 88 00, 84 00"},
        // The presence is still read once before the link fails.
        StartCase{"EveryLinkNameTaken", "C0 > 21, C4 > 00, * > 90", TakeEveryLinkName,
                  STATUS_UNSUCCESSFUL, kRan},
        // The port's open takes requests of its own: the third the driver builds fails.
        StartCase{"SetUpRequestNotBuilt", "* > 90",
                  [](Host& host) { host.platform().pool().FailAllocations(PoolTag("Irp "), 3); },
                  STATUS_UNSUCCESSFUL, "", false},
        StartCase{"ConfigurationPathNotAllocated", "* > 90",
                  [](Host& host) { host.platform().pool().FailAllocations(DRIVER_POOL_TAG, 0); },
                  STATUS_INSUFFICIENT_RESOURCES, "", false}),
    [](const auto& test) { return std::string(test.param.name); });

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
Bytes Text(std::string_view text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

TEST_F(StartedReader, RequestsAreAnsweredOrRefusedWithNothingReturned) {
  constexpr std::uint32_t kVersions = IOCTL_READER_GET_VERSIONS;
  constexpr std::uint32_t kGet = IOCTL_SMARTCARD_GET_ATTRIBUTE;
  constexpr Status kOk = STATUS_SUCCESS, kRefused = STATUS_INVALID_DEVICE_REQUEST;
  const Bytes versions = Hex("50 01 00 00 01 00 02 01");
  const struct {
    std::uint32_t code;
    Bytes input;
    size_t room;
    Status status;
    Bytes output;
  } cases[] = {
      {kVersions, {}, 8, kOk, versions},
      {kVersions, {}, 64, kOk, versions},
      {kVersions, {}, 7, STATUS_BUFFER_TOO_SMALL, {}},
      {0x312008, {}, 8, kRefused, {}},  // another vendor request
      {IOCTL_SMARTCARD_EJECT, {}, 0, kRefused, {}},
      {IOCTL_SMARTCARD_SWALLOW, {}, 0, kRefused, {}},
      {0x00220000, {}, 0, kRefused, {}},
      {IOCTL_SMARTCARD_POWER, {}, 64, STATUS_INVALID_PARAMETER, {}},  // without its code
      {kGet, Number(SCARD_ATTR_VENDOR_NAME), 64, kOk, Text("Norvane-Talbeck")},
      {kGet, Number(SCARD_ATTR_VENDOR_IFD_TYPE), 64, kOk, Text("Brightwarden Serial SCR")},
      {kGet, Number(SCARD_ATTR_VENDOR_IFD_VERSION), 64, kOk, Number(0x02010000)},
      {kGet, Number(SCARD_ATTR_PROTOCOL_TYPES), 64, kOk, Number(3)},
      {kGet, Number(SCARD_ATTR_MAX_CLK), 64, kOk, Number(3580)},
      {kGet, Number(SCARD_ATTR_MAX_DATA_RATE), 64, kOk, Number(9600)},
      {kGet, Number(SCARD_ATTR_MAX_IFSD), 64, kOk, Number(254)},
      {kGet, Number(SCARD_ATTR_VENDOR_IFD_SERIAL_NO), 64, kOk, {}},
      {kGet, Number(0x12345678), 64, STATUS_NOT_SUPPORTED, {}},
      {kGet, Number(SCARD_ATTR_VENDOR_NAME), 3, STATUS_BUFFER_TOO_SMALL, {}},
      {kGet, {0x00, 0x01}, 64, STATUS_INVALID_PARAMETER, {}},  // no whole tag
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const auto [status, out] = reader_->Control(c.code, c.input, c.room);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out, c.output);
  }
  // The same through the reader's attribute calls: text without its NUL, numbers as such.
  EXPECT_EQ(reader_->AttributeText(SCARD_ATTR_VENDOR_IFD_TYPE).value, "Brightwarden Serial SCR");
  EXPECT_EQ(reader_->AttributeNumber(SCARD_ATTR_MAX_IFSD).value, 254u);
  // A protocol request without room for the answer, and the library's record of it.
  sim_->InsertCard("t1");
  ASSERT_EQ(reader_->WaitForCard(CardWait::kPresent, 10s), STATUS_SUCCESS);
  ASSERT_EQ(reader_->PowerCard(Power::kColdReset).status, STATUS_SUCCESS);
  EXPECT_EQ(reader_->Control(IOCTL_SMARTCARD_SET_PROTOCOL, Number(2), 3).status,
            STATUS_BUFFER_TOO_SMALL);
  const auto [status, error] = reader_->LastError();
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(error, static_cast<std::uint32_t>(STATUS_BUFFER_TOO_SMALL));
}

TEST_F(StartedReader, CardChangesReachAWaitingApplication) {
  auto waiting = reader_->StartWaitForCard(CardWait::kPresent);
  sim_->InsertCard("t0");
  EXPECT_EQ(waiting->Wait(10s), STATUS_SUCCESS);
  EXPECT_EQ(reader_->State().value, CardState::kPresent);
  auto removal = reader_->StartWaitForCard(CardWait::kAbsent);
  sim_->RemoveCard();
  EXPECT_EQ(removal->Wait(10s), STATUS_SUCCESS);
  EXPECT_EQ(reader_->State().value, CardState::kAbsent);
  // A watch let go of while pending is cancelled and finished: the next one is taken, and
  // nothing of it is left when the host stops.
  (void)reader_->StartWaitForCard(CardWait::kPresent);
  EXPECT_EQ(reader_->WaitForCard(CardWait::kPresent, 30ms), STATUS_TIMEOUT);
}

struct WatchCase {
  const char* name;
  void (*act)(StartedReader&, Request&);
  Status status;
};

class PendingWatch : public StartedReader, public ::testing::WithParamInterface<WatchCase> {};

TEST_P(PendingWatch, EndsAsItsCauseSays) {
  auto waiting = reader_->StartWaitForCard(CardWait::kPresent);
  EXPECT_EQ(waiting->Wait(20ms), STATUS_TIMEOUT);  // no card: still pending
  GetParam().act(*this, *waiting);
  EXPECT_EQ(waiting->Wait(10s), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, PendingWatch,
    ::testing::Values(
        WatchCase{"Cancelled", [](StartedReader&, Request& w) { w.Cancel(); }, STATUS_CANCELLED},
        // A second watch is refused; the first goes on.
        WatchCase{"SecondWatchRefused",
                  [](StartedReader& f, Request&) {
                    EXPECT_EQ(f.reader_->StartWaitForCard(CardWait::kPresent)->Wait(10s),
                              STATUS_DEVICE_BUSY);
                    f.sim_->InsertCard("t1");
                  },
                  STATUS_SUCCESS},
        // Open and close cancel the watch, also an open that finds the reader busy.
        WatchCase{"AnotherOpen",
                  [](StartedReader& f, Request&) {
                    const auto [status, reader] = Reader::Open(f.host_, 0);
                    EXPECT_EQ(reader, nullptr);
                    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
                  },
                  STATUS_CANCELLED},
        WatchCase{"Unload", [](StartedReader& f, Request&) { EXPECT_EQ(f.host_.StopDriver(), ""); },
                  STATUS_CANCELLED}),
    [](const auto& test) { return std::string(test.param.name); });

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
    ASSERT_TRUE(WaitUntil([&] {
      const auto [asked, state] = reader_->State();
      return asked == STATUS_SUCCESS && (state >= CardState::kPresent) == card_in;
    }));
  }
}

TEST(DriverTeardown, UnloadWhileTheReaderKeepsTalkingLeavesNothingRunning) {
  // Teardown waits until the listener has let go of the records before releasing them (the
  // sanitizers see any late touch).
  for (int round = 0; round < 5; ++round) {
    Host host(kFast);
    ScriptedPort port(host);
    Program(port.script, "C0 >> 21, C4 >> 01, * > 90");
    ASSERT_EQ(host.Start(), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
      const std::uint8_t noise[] = {0x41, 0x10, 0x83, 0x42, 0x10, 0x88};
      while (!stop.load()) port.line.Send(noise);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
    EXPECT_EQ(host.StopDriver(), "");
    stop.store(true);
    chatter.join();
    EXPECT_EQ(host.Stop(), "");
  }
}

}  // namespace
