// The driver frame through the host, against the simulated reader: driver entry and its
// configuration, start-up and its failures, open and close, the version query, card tracking,
// a data-set-ready drop, and teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/frame/frame.h"
#include "host/host.h"
#include "host/reader.h"
#include "platform/platform.h"
#include "serial/memory_line.h"
#include "serial/serial_port.h"
#include "sim/reader_sim.h"
#include "support/scripted_reader.h"
#include "support/sim_frames.h"
#include "support/wait.h"

namespace {

using ::testing::ElementsAre;
using tolvex::host::CardState;
using tolvex::host::Host;
using tolvex::host::Reader;
using tolvex::host::Status;
using tolvex::sim::ReaderSim;
using tolvex::testutil::Frame;
using tolvex::testutil::HostFrames;
using tolvex::testutil::WaitUntil;
using namespace std::chrono_literals;

Host::Options Fast() {
  return Host::Options{.skip_delays = true};
}

// Control requests the serial port received, by code.
std::vector<ULONG> SerialCodes(Host& host, unsigned index) {
  tolvex::platform::PlatformScope scope(host.platform());
  PDEVICE_OBJECT device = host.platform().FindDevice(
      u"\\Device\\Serial" + tolvex::platform::ToU16(std::to_string(index)));
  std::vector<ULONG> codes;
  if (device == nullptr) return codes;
  for (const auto& r : tolvex::serial::PortOf(device)->Requests()) {
    if (r.major == IRP_MJ_DEVICE_CONTROL) codes.push_back(r.code);
  }
  return codes;
}

TEST(DriverStart, ReaderStartsWithItsCommandsInOrder) {
  Host host(Fast());
  ReaderSim& sim = host.AddSimulatedPort(0);
  sim.InsertCard("t1", /*report=*/false);
  ASSERT_EQ(host.Start(), STATUS_SUCCESS);
  EXPECT_THAT(host.Readers(), ElementsAre(0u));
  // Firmware revision, the start-up table, the presence read.
  EXPECT_THAT(HostFrames(sim),
              ElementsAre(Frame{0xC0}, Frame{0x88, 0x00}, Frame{0x82, 0x4F}, Frame{0xC4}));
  Status status;
  auto reader = Reader::Open(host, 0, &status);
  ASSERT_TRUE(reader) << std::hex << status;
  CardState state;
  ASSERT_EQ(reader->State(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, CardState::kSwallowed);  // a card is in, not powered
  reader.reset();
  EXPECT_EQ(host.Stop(), "");  // nothing left allocated
}

TEST(DriverStart, EmptyReaderStartsAbsentAndIsReachableByItsLink) {
  Host host(Fast());
  host.AddSimulatedPort(0);
  ASSERT_EQ(host.Start(), STATUS_SUCCESS);
  Status status;
  auto reader = Reader::Open(host, u"\\DosDevices\\SCReader0", &status);
  ASSERT_TRUE(reader) << std::hex << status;
  CardState state;
  ASSERT_EQ(reader->State(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, CardState::kAbsent);
}

TEST(DriverStart, TwoReadersStartOnTheirPortsAndUnload) {
  Host host(Fast());
  ReaderSim& first = host.AddSimulatedPort(0);
  host.AddSimulatedPort(1);
  ReaderSim& third = host.AddSimulatedPort(2);
  host.SetPortMask(0x5);  // ports 0 and 2 only
  ASSERT_EQ(host.Start(), STATUS_SUCCESS);
  EXPECT_THAT(host.Readers(), ElementsAre(0u, 2u));
  EXPECT_FALSE(HostFrames(first).empty());
  EXPECT_TRUE(HostFrames(*host.simulator(1)).empty());  // port 1 is not touched
  EXPECT_FALSE(HostFrames(third).empty());
  Status status;
  auto reader2 = Reader::Open(host, 2, &status);
  ASSERT_TRUE(reader2);
  std::string unit;
  std::uint32_t unit_number = 0;
  ASSERT_EQ(reader2->AttributeNumber(SCARD_ATTR_DEVICE_UNIT, &unit_number), STATUS_SUCCESS);
  EXPECT_EQ(unit_number, 2u);
  reader2.reset();
  EXPECT_EQ(host.Stop(), "");
}

struct MaskCase {
  const char* name;
  std::optional<std::uint32_t> mask;
  Status expected;
  std::vector<unsigned> readers;
};

class DriverEntryMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(DriverEntryMask, StartsTheReadersOfTheMask) {
  Host host(Fast());
  for (unsigned i = 0; i < 4; ++i) host.AddSimulatedPort(i);
  host.SetPortMask(GetParam().mask);
  EXPECT_EQ(host.Start(), GetParam().expected);
  EXPECT_EQ(host.Readers(), GetParam().readers);
  EXPECT_EQ(host.Stop(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Masks, DriverEntryMask,
    ::testing::Values(MaskCase{"Absent", std::nullopt, STATUS_UNSUCCESSFUL, {}},
                      MaskCase{"Zero", 0, STATUS_UNSUCCESSFUL, {}},
                      MaskCase{"OnlyBit4", 0x10, STATUS_UNSUCCESSFUL, {}},
                      MaskCase{"AllBits", 0xFFFFFFFF, STATUS_SUCCESS, {0, 1, 2, 3}},
                      MaskCase{"Port3", 0x8, STATUS_SUCCESS, {3}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(DriverEntry, MaskOfAnotherRegistryTypeIsRefusedAndNothingStarts) {
  struct Case {
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  };
  const Case cases[] = {
      {1 /*REG_SZ*/, {'1', 0, 0, 0}},
      {3 /*REG_BINARY*/, {1, 0, 0, 0, 0, 0, 0, 0}},
      {11 /*REG_QWORD*/, {1, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Host host(Fast());
    host.AddSimulatedPort(0);
    host.SetPortMaskValue(c.type, c.data);
    EXPECT_EQ(host.Start(), STATUS_OBJECT_TYPE_MISMATCH) << c.type;
    EXPECT_TRUE(host.Readers().empty());
    EXPECT_EQ(host.Stop(), "");
  }
}

TEST(DriverEntry, MissingPortFailsAndLeavesNoDevice) {
  Host host(Fast());
  host.AddSimulatedPort(1);
  host.SetPortMask(0x1);  // port 0 has no serial device
  EXPECT_EQ(host.Start(), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(host.Readers().empty());
  EXPECT_EQ(host.Stop(), "");
}

TEST(DriverEntry, OneFailingPortOfTwoStillStartsTheOther) {
  Host host(Fast());
  host.AddMemoryPort(0).FailNextOpen(STATUS_ACCESS_DENIED);
  host.AddSimulatedPort(1);
  host.SetPortMask(0x3);
  EXPECT_EQ(host.Start(), STATUS_SUCCESS);
  EXPECT_THAT(host.Readers(), ElementsAre(1u));
  EXPECT_EQ(host.Stop(), "");
}

TEST(DriverEntry, ConfigurationPathThatCannotBeAllocatedFailsUntouched) {
  Host host(Fast());
  host.AddSimulatedPort(0);
  host.platform().pool().FailAllocations(DRIVER_POOL_TAG, 0);
  EXPECT_EQ(host.Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(HostFrames(*host.simulator(0)).empty());
  EXPECT_EQ(host.Stop(), "");
}

// Start-up failing at each step, and what the teardown it leaves sends.
TEST(StartupFailure, ReaderThatDoesNotAnswerIsLeftAloneByTeardown) {
  Host host(Fast());
  ReaderSim& sim = host.AddSimulatedPort(0);
  sim.SilenceNextCommand();
  EXPECT_EQ(host.Start(), STATUS_UNSUCCESSFUL);  // the only reader failed
  // Revision 0.0: no power-off, no close.
  EXPECT_THAT(HostFrames(sim), ElementsAre(Frame{0xC0}));
  const auto codes = SerialCodes(host, 0);
  ASSERT_GE(codes.size(), 2u);
  EXPECT_EQ(codes[codes.size() - 2], IOCTL_SERIAL_SET_WAIT_MASK);  // the listener ends
  EXPECT_EQ(codes.back(), IOCTL_SERIAL_PURGE);                     // the removal routine
  EXPECT_EQ(host.Stop(), "");
}

TEST(StartupFailure, RefusedTableWriteIsFollowedByPowerOffAndClose) {
  Host host(Fast());
  tolvex::serial::MemoryLine& line = host.AddMemoryPort(0);
  tolvex::sim::ScriptedReader script([&line](std::span<const std::uint8_t> b) { line.Send(b); });
  line.SetListener([&script](std::span<const UCHAR> frame) { script.HostWrote(frame); });
  script.Expect({0xC0}, {0x21});
  script.Expect({0x88, 0x00}, {0x90});
  script.Expect({0x82, 0x4F}, {0x84});  // the mode register refused
  script.Default({0x90});
  EXPECT_EQ(host.Start(), STATUS_UNSUCCESSFUL);
  // Revision 2.1 was read: teardown switches the card off and closes the controller.
  EXPECT_THAT(script.frames(),
              ElementsAre(Frame{0xC0}, Frame{0x88, 0x00}, Frame{0x82, 0x4F}, Frame{0x84, 0x00},
                          Frame{0x84, 0x00}, Frame{0x82, 0x00}));
  EXPECT_EQ(host.Stop(), "");
  line.SetListener(nullptr);
}

TEST(StartupFailure, RefusedPowerOffIsFollowedByNoClose) {
  Host host(Fast());
  tolvex::serial::MemoryLine& line = host.AddMemoryPort(0);
  tolvex::sim::ScriptedReader script([&line](std::span<const std::uint8_t> b) { line.Send(b); });
  line.SetListener([&script](std::span<const UCHAR> frame) { script.HostWrote(frame); });
  script.Expect({0xC0}, {0x21});
  script.Expect({0x88, 0x00}, {0x84});  // the table's first row refused
  script.Expect({0x84, 0x00}, {0x84});  // and the power-off
  EXPECT_EQ(host.Start(), STATUS_UNSUCCESSFUL);
  EXPECT_THAT(script.frames(), ElementsAre(Frame{0xC0}, Frame{0x88, 0x00}, Frame{0x84, 0x00}));
  EXPECT_EQ(SerialCodes(host, 0).back(), IOCTL_SERIAL_PURGE);  // the wait mask still cleared
  EXPECT_EQ(host.Stop(), "");
  line.SetListener(nullptr);
}

TEST(StartupFailure, SetUpRequestThatCannotBeBuiltFailsBeforeTheReaderIsAddressed) {
  Host host(Fast());
  ReaderSim& sim = host.AddSimulatedPort(0);
  // The port's open takes requests of its own: fail the third request the driver builds.
  host.platform().pool().FailAllocations(PoolTag("Irp "), 3);
  EXPECT_EQ(host.Start(), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(HostFrames(sim).empty());
  EXPECT_TRUE(host.Readers().empty());
  EXPECT_EQ(host.Stop(), "");
}

TEST(StartupFailure, FailingLinkStillReadsThePresenceOnce) {
  Host host(Fast());
  ReaderSim& sim = host.AddSimulatedPort(0);
  {
    // Every link name the library could take is already taken.
    tolvex::platform::PlatformScope scope(host.platform());
    for (int n = 0; n < 256; ++n) {
      std::u16string link = u"\\DosDevices\\SCReader" + tolvex::platform::ToU16(std::to_string(n));
      std::u16string target = u"\\Device\\Elsewhere";
      ASSERT_EQ(host.platform().CreateLink(link, target), STATUS_SUCCESS);
    }
  }
  EXPECT_EQ(host.Start(), STATUS_UNSUCCESSFUL);
  const auto frames = HostFrames(sim);
  ASSERT_GE(frames.size(), 7u);
  EXPECT_EQ(frames[3], (Frame{0xC4}));  // presence read, then the teardown's commands
  EXPECT_EQ(frames[4], (Frame{0x84, 0x00}));
  EXPECT_EQ(frames[5], (Frame{0x84, 0x00}));
  EXPECT_EQ(frames[6], (Frame{0x82, 0x00}));
  EXPECT_EQ(host.Stop(), "");
}

class StartedReader : public ::testing::Test {
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
  Host host_{Fast()};
  ReaderSim* sim_ = nullptr;
  std::unique_ptr<Reader> reader_;
};

TEST_F(StartedReader, SecondOpenIsBusyUntilTheFirstCloses) {
  Status status;
  EXPECT_EQ(Reader::Open(host_, 0, &status), nullptr);
  EXPECT_EQ(status, STATUS_DEVICE_BUSY);
  reader_.reset();
  reader_ = Reader::Open(host_, 0, &status);
  EXPECT_TRUE(reader_) << std::hex << status;
}

TEST_F(StartedReader, OpensAtTheSameMomentLetOneThrough) {
  reader_.reset();
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> opened{0};
    std::vector<std::unique_ptr<Reader>> readers(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        Status status;
        readers[t] = Reader::Open(host_, 0, &status);
        if (readers[t]) opened.fetch_add(1);
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(opened.load(), 1) << "round " << round;
  }
}

TEST_F(StartedReader, VersionQueryGivesItsEightBytes) {
  std::vector<std::uint8_t> out;
  ASSERT_EQ(reader_->Control(IOCTL_READER_GET_VERSIONS, {}, 8, &out), STATUS_SUCCESS);
  EXPECT_THAT(out, ElementsAre(0x50, 0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 0x01));
  ASSERT_EQ(reader_->Control(IOCTL_READER_GET_VERSIONS, {}, 64, &out), STATUS_SUCCESS);
  EXPECT_EQ(out.size(), 8u);
  EXPECT_EQ(reader_->Control(IOCTL_READER_GET_VERSIONS, {}, 7, &out), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(out.empty());
  // Another vendor request: not the driver's.
  EXPECT_EQ(reader_->Control(0x312008, {}, 8, &out), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(out.empty());
}

TEST_F(StartedReader, ReaderAttributesAreTheVendors) {
  std::string text;
  ASSERT_EQ(reader_->AttributeText(SCARD_ATTR_VENDOR_NAME, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, "Norvane-Talbeck");
  ASSERT_EQ(reader_->AttributeText(SCARD_ATTR_VENDOR_IFD_TYPE, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, "Brightwarden Serial SCR");
  std::vector<std::uint8_t> raw;
  ASSERT_EQ(reader_->Attribute(SCARD_ATTR_VENDOR_NAME, &raw), STATUS_SUCCESS);
  EXPECT_EQ(raw.size(), 16u);  // with its terminating zero
  std::uint32_t number = 0;
  ASSERT_EQ(reader_->AttributeNumber(SCARD_ATTR_VENDOR_IFD_VERSION, &number), STATUS_SUCCESS);
  EXPECT_EQ(number, 0x02010000u);
  ASSERT_EQ(reader_->AttributeNumber(SCARD_ATTR_PROTOCOL_TYPES, &number), STATUS_SUCCESS);
  EXPECT_EQ(number, 3u);
  ASSERT_EQ(reader_->AttributeNumber(SCARD_ATTR_MAX_CLK, &number), STATUS_SUCCESS);
  EXPECT_EQ(number, 3580u);
  ASSERT_EQ(reader_->AttributeNumber(SCARD_ATTR_MAX_DATA_RATE, &number), STATUS_SUCCESS);
  EXPECT_EQ(number, 9600u);
  ASSERT_EQ(reader_->AttributeNumber(SCARD_ATTR_MAX_IFSD, &number), STATUS_SUCCESS);
  EXPECT_EQ(number, 254u);
  ASSERT_EQ(reader_->Attribute(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, &raw), STATUS_SUCCESS);
  EXPECT_TRUE(raw.empty());
  EXPECT_EQ(reader_->Attribute(0x12345678, &raw), STATUS_NOT_SUPPORTED);
  std::vector<std::uint8_t> small;
  EXPECT_EQ(reader_->Control(IOCTL_SMARTCARD_GET_ATTRIBUTE,
                             std::vector<std::uint8_t>{0x00, 0x01, 0x01, 0x00}, 3, &small),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(reader_->Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, std::vector<std::uint8_t>{0x00, 0x01},
                             64, &small),
            STATUS_INVALID_PARAMETER);  // no whole tag
}

TEST_F(StartedReader, InsertionAndRemovalReachAWaitingApplication) {
  auto waiting = reader_->StartWaitForCard(tolvex::host::CardWait::kPresent);
  ASSERT_TRUE(waiting);
  EXPECT_EQ(waiting->Wait(50ms), STATUS_TIMEOUT);  // no card yet: still pending
  sim_->InsertCard("t0");
  EXPECT_EQ(waiting->Wait(10s), STATUS_SUCCESS);
  CardState state;
  ASSERT_EQ(reader_->State(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, CardState::kPresent);
  // Already present: the request completes at once.
  EXPECT_EQ(reader_->WaitForCard(tolvex::host::CardWait::kPresent, 10s), STATUS_SUCCESS);
  auto removal = reader_->StartWaitForCard(tolvex::host::CardWait::kAbsent);
  sim_->RemoveCard();
  EXPECT_EQ(removal->Wait(10s), STATUS_SUCCESS);
  ASSERT_EQ(reader_->State(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, CardState::kAbsent);
}

TEST_F(StartedReader, WaitThatRunsOutIsCancelled) {
  EXPECT_EQ(reader_->WaitForCard(tolvex::host::CardWait::kPresent, 30ms), STATUS_TIMEOUT);
  // The reader takes a new watch at once: the old one is gone.
  auto waiting = reader_->StartWaitForCard(tolvex::host::CardWait::kPresent);
  sim_->InsertCard("t1");
  EXPECT_EQ(waiting->Wait(10s), STATUS_SUCCESS);
}

TEST_F(StartedReader, CancelledWaitCompletesAsCancelled) {
  auto waiting = reader_->StartWaitForCard(tolvex::host::CardWait::kPresent);
  waiting->Cancel();
  EXPECT_EQ(waiting->Wait(10s), STATUS_CANCELLED);
}

TEST_F(StartedReader, SecondWatchWhileOneIsPendingIsRefused) {
  auto first = reader_->StartWaitForCard(tolvex::host::CardWait::kPresent);
  auto second = reader_->StartWaitForCard(tolvex::host::CardWait::kPresent);
  EXPECT_EQ(second->Wait(10s), STATUS_DEVICE_BUSY);
  EXPECT_EQ(first->Wait(20ms), STATUS_TIMEOUT);
}

TEST_F(StartedReader, OpenOrCloseCancelsAPendingWatch) {
  auto waiting = reader_->StartWaitForCard(tolvex::host::CardWait::kPresent);
  EXPECT_EQ(waiting->Wait(20ms), STATUS_TIMEOUT);
  Status status;
  EXPECT_EQ(Reader::Open(host_, 0, &status), nullptr);  // busy, yet it cancels the watch
  EXPECT_EQ(status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(waiting->Wait(10s), STATUS_CANCELLED);
}

TEST_F(StartedReader, CancellationAndPresenceChangeMeetingCompleteOnce) {
  // A presence change and a cancellation race for the same request; either may win, and the
  // request is completed exactly once (a second completion stops the process).
  int successes = 0;
  int cancellations = 0;
  bool card_in = false;
  for (int round = 0; round < 150; ++round) {
    auto waiting = reader_->StartWaitForCard(card_in ? tolvex::host::CardWait::kAbsent
                                                     : tolvex::host::CardWait::kPresent);
    std::thread changer([&] {
      if (card_in) {
        sim_->RemoveCard();
      } else {
        sim_->InsertCard("t0");
      }
    });
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(round % 7 * 50));
      waiting->Cancel();
    });
    changer.join();
    canceller.join();
    const Status status = waiting->Wait(10s);
    ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
    (status == STATUS_SUCCESS ? successes : cancellations)++;
    card_in = !card_in;
    // Let the reader's report of this change arrive before the next watch starts.
    ASSERT_TRUE(WaitUntil([&] {
      CardState state;
      return reader_->State(&state) == STATUS_SUCCESS && (state >= CardState::kPresent) == card_in;
    }));
  }
  EXPECT_EQ(successes + cancellations, 150);
}

TEST_F(StartedReader, DataSetReadyDropEndsListeningAndCommandsTimeOut) {
  sim_->InsertCard("t0");
  ASSERT_EQ(reader_->WaitForCard(tolvex::host::CardWait::kPresent, 10s), STATUS_SUCCESS);
  sim_->SetDsr(false);
  // The removal routine purged the port; nothing the reader says is heard any more.
  ASSERT_TRUE(WaitUntil([&] {
    const auto codes = SerialCodes(host_, 0);
    return !codes.empty() && codes.back() == IOCTL_SERIAL_PURGE;
  }));
  std::vector<std::uint8_t> atr;
  EXPECT_EQ(reader_->PowerCard(tolvex::host::Power::kColdReset, &atr), STATUS_IO_TIMEOUT);
  sim_->RemoveCard();  // not heard either
  CardState state;
  ASSERT_EQ(reader_->State(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, CardState::kPresent);
}

TEST(StartupEvents, InsertionReportedBeforeRegistrationGivesWayToThePresenceRead) {
  // The reader reports a card with its revision, before the library's data exists: the report
  // is dropped, and the presence read at the end of start-up sets the state.
  Host host(Fast());
  tolvex::serial::MemoryLine& line = host.AddMemoryPort(0);
  tolvex::sim::ScriptedReader script([&line](std::span<const std::uint8_t> b) { line.Send(b); });
  line.SetListener([&script](std::span<const UCHAR> frame) { script.HostWrote(frame); });
  script.Expect({0xC0}, {0x21, 0x10, 0x85});
  script.Expect({0xC4}, {0x00});  // no card after all
  script.Default({0x90});
  ASSERT_EQ(host.Start(), STATUS_SUCCESS);
  Status status;
  auto reader = Reader::Open(host, 0, &status);
  ASSERT_TRUE(reader);
  CardState state;
  ASSERT_EQ(reader->State(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, CardState::kAbsent);
  reader.reset();
  EXPECT_EQ(host.Stop(), "");
  line.SetListener(nullptr);
}

TEST(DriverTeardown, UnloadWhileTheReaderKeepsTalkingLeavesNothingRunning) {
  // The reader streams bytes while the driver is unloaded: teardown waits until the listener
  // has let go of the records before releasing them (the sanitizers see any late touch).
  for (int round = 0; round < 5; ++round) {
    Host host(Fast());
    tolvex::serial::MemoryLine& line = host.AddMemoryPort(0);
    tolvex::sim::ScriptedReader script([&line](std::span<const std::uint8_t> b) { line.Send(b); });
    line.SetListener([&script](std::span<const UCHAR> frame) { script.HostWrote(frame); });
    script.Default({0x90});
    script.Always({0xC0}, {0x21});
    script.Always({0xC4}, {0x01});
    ASSERT_EQ(host.Start(), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
      const std::uint8_t noise[] = {0x41, 0x10, 0x83, 0x42, 0x10, 0x88};
      while (!stop.load()) line.Send(noise);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
    EXPECT_EQ(host.StopDriver(), "");
    stop.store(true);
    chatter.join();
    EXPECT_EQ(host.Stop(), "");
    line.SetListener(nullptr);
  }
}

TEST_F(StartedReader, RequestsTheDriverDoesNotServeAreRefused) {
  std::vector<std::uint8_t> out;
  EXPECT_EQ(reader_->Control(IOCTL_SMARTCARD_EJECT, {}, 0, &out), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(reader_->Control(IOCTL_SMARTCARD_SWALLOW, {}, 0, &out), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(reader_->Control(0x00220000, {}, 0, &out), STATUS_INVALID_DEVICE_REQUEST);
  // A power request without its code, a protocol request without room for the answer.
  EXPECT_EQ(reader_->Control(IOCTL_SMARTCARD_POWER, {}, 64, &out), STATUS_INVALID_PARAMETER);
  sim_->InsertCard("t1");
  ASSERT_EQ(reader_->WaitForCard(tolvex::host::CardWait::kPresent, 10s), STATUS_SUCCESS);
  ASSERT_EQ(reader_->PowerCard(tolvex::host::Power::kColdReset, &out), STATUS_SUCCESS);
  EXPECT_EQ(reader_->Control(IOCTL_SMARTCARD_SET_PROTOCOL, std::vector<std::uint8_t>{2, 0, 0, 0}, 3,
                             &out),
            STATUS_BUFFER_TOO_SMALL);
  std::uint32_t error = 0;
  ASSERT_EQ(reader_->LastError(&error), STATUS_SUCCESS);
  EXPECT_EQ(error, static_cast<std::uint32_t>(STATUS_BUFFER_TOO_SMALL));
}

TEST(DriverTeardown, StartedReaderSwitchesTheCardOffThenEndsTheListener) {
  Host host(Fast());
  ReaderSim& sim = host.AddSimulatedPort(0);
  ASSERT_EQ(host.Start(), STATUS_SUCCESS);
  sim.ClearTranscript();
  EXPECT_EQ(host.StopDriver(), "");
  EXPECT_THAT(HostFrames(sim),
              ElementsAre(Frame{0x84, 0x00}, Frame{0x84, 0x00}, Frame{0x82, 0x00}));
  const auto codes = SerialCodes(host, 0);
  ASSERT_GE(codes.size(), 2u);
  EXPECT_EQ(codes[codes.size() - 2], IOCTL_SERIAL_SET_WAIT_MASK);
  EXPECT_EQ(codes.back(), IOCTL_SERIAL_PURGE);
  EXPECT_EQ(host.Stop(), "");
}

TEST(DriverTeardown, PendingWatchIsCancelledByTheUnload) {
  Host host(Fast());
  host.AddSimulatedPort(0);
  ASSERT_EQ(host.Start(), STATUS_SUCCESS);
  Status status;
  auto reader = Reader::Open(host, 0, &status);
  ASSERT_TRUE(reader);
  auto waiting = reader->StartWaitForCard(tolvex::host::CardWait::kPresent);
  ASSERT_EQ(waiting->Wait(20ms), STATUS_TIMEOUT);
  // The application lets go of its handle but not of its request; unloading ends the request.
  EXPECT_EQ(host.StopDriver(), "");
  EXPECT_EQ(waiting->Wait(10s), STATUS_CANCELLED);
}

}  // namespace
