// The handler on a reader: a simulated reader on a pseudo-terminal inside the test, opened by
// its path as pcscd would from reader.conf, and driven through the ten entry points and the
// poll and stop functions only. Buffer sizes, error mapping, the card wait and its stop, and
// channels closed or gone under running calls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "host/pty_simulator.h"
#include "pcsc/channel.h"
#include "pcsc/ifd.h"
#include "pcsc/log_stub.h"
#include "sim/reader_sim.h"
#include "support/wait.h"

namespace tolvex::ifd {
namespace {

using Bytes = std::vector<UCHAR>;
using Clock = std::chrono::steady_clock;
using host::PtySimulator;
using tolvex::testutil::WaitUntil;

const Bytes kT1Atr = {0x3B, 0x82, 0x81, 0x31, 0x20, 0x45, 0x54, 0x31, 0x32};
const Bytes kChallenge8 = {0x00, 0x84, 0x00, 0x00, 0x08};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

class ChannelTest : public ::testing::Test {
 public:
  // Every test its own Lun, so a test that fails half-way leaves the others alone.
  static DWORD NextLun() {
    static DWORD next = 0x10;
    return (next++) << 16;
  }

  static RESPONSECODE Open(DWORD lun, const PtySimulator& reader) {
    return IFDHCreateChannelByName(lun, const_cast<char*>(reader.path().c_str()));
  }

  void SetUp() override {
    ASSERT_TRUE(reader_.ok()) << reader_.error();
    ASSERT_TRUE(reader_.sim().InsertCard("t1", /*report=*/false));
    ASSERT_EQ(Open(lun_, reader_), IFD_SUCCESS);
  }

  void TearDown() override {
    (void)IFDHCloseChannel(lun_);
    EXPECT_EQ(ChannelTable::Get().size(), 0u);
  }

  // `call(buffer, &length)` with `room` bytes of room: what it wrote, as much as it says and
  // within the room, where it wrote nothing beyond.
  template <typename Call>
  static RESPONSECODE Into(DWORD room, Bytes* out, DWORD* length, Call call) {
    Bytes buffer(room + 16, 0xEE);
    *length = room;
    const RESPONSECODE response = call(buffer.data(), length);
    out->assign(buffer.begin(), buffer.begin() + std::min(*length, room));
    EXPECT_EQ(Bytes(buffer.begin() + room, buffer.end()), Bytes(16, 0xEE));
    return response;
  }

  RESPONSECODE Power(DWORD action, Bytes* atr, DWORD room = MAX_ATR_SIZE) {
    DWORD length;
    return Into(room, atr, &length,
                [&](UCHAR* to, DWORD* n) { return IFDHPowerICC(lun_, action, to, n); });
  }

  RESPONSECODE Transmit(DWORD t, Bytes apdu, Bytes* response, DWORD room = 258) {
    SCARD_IO_HEADER receive{0xFF, 0xFF};
    DWORD length;
    const RESPONSECODE result = Into(room, response, &length, [&](UCHAR* to, DWORD* n) {
      return IFDHTransmitToICC(lun_, SCARD_IO_HEADER{t, 8}, apdu.data(),
                               static_cast<DWORD>(apdu.size()), to, n, &receive);
    });
    EXPECT_LE(length, room);
    EXPECT_EQ(receive.Protocol, result == IFD_SUCCESS ? t : 0xFF);  // untouched after an error
    return result;
  }

  RESPONSECODE Capability(DWORD tag, Bytes* value, DWORD room = 64) {
    return Into(room, value, &last_length_,
                [&](UCHAR* to, DWORD* n) { return IFDHGetCapabilities(lun_, tag, n, to); });
  }

  // Powers the card up and selects T=1.
  void Ready() {
    Bytes atr;
    ASSERT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  }

  // A card wait on another thread, in flight once this returns: its response, and how long it
  // took. In flight is when another wait is refused (one at a time); the wait tried here goes
  // again if it was itself refused because a probe held the turn.
  std::future<std::pair<RESPONSECODE, double>> WaitInFlight(int timeout_ms) {
    auto seen = std::make_shared<std::atomic<bool>>(false);
    auto wait = std::async(std::launch::async, [this, timeout_ms, seen] {
      const auto start = Clock::now();
      RESPONSECODE response = IFD_COMMUNICATION_ERROR;
      while (response == IFD_COMMUNICATION_ERROR && !*seen) {
        response = TolvexWaitForCardEvent(lun_, timeout_ms);
      }
      return std::make_pair(response, Seconds(start));
    });
    EXPECT_TRUE(
        WaitUntil([&] { return TolvexWaitForCardEvent(lun_, 0) == IFD_COMMUNICATION_ERROR; }));
    *seen = true;
    return wait;
  }

  // The handler opens the terminal by its path, and makes it raw itself.
  PtySimulator reader_;
  DWORD lun_ = NextLun();
  DWORD last_length_ = 0;
};

constexpr DWORD kUp = IFD_POWER_UP, kT0 = SCARD_PROTOCOL_T0, kT1 = SCARD_PROTOCOL_T1;
constexpr RESPONSECODE kNoRoom = IFD_ERROR_INSUFFICIENT_BUFFER, kNotT = IFD_PROTOCOL_NOT_SUPPORTED;

struct FaultCase {
  const char* name;
  // Words for what comes first, in this order: "mute" makes the card's next reset fail; "up"
  // powers it; "t1" powers it and selects T=1; "out" takes the card out. (A silent reader's
  // transmission is the stop's test.)
  const char* before;
  char call;   // 'p' power, 's' select a protocol, 't' transmit
  DWORD arg;   // the power action, the protocol, the T of the transmission
  DWORD room;  // for the ATR or the response
  RESPONSECODE response;
  bool again_succeeds = false;  // the same call right after, with just the room it needs
};

class Fault : public ChannelTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Fault, GivesItsResponseAndNothingElse) {
  const FaultCase& c = GetParam();
  Bytes out;
  auto call = [&](DWORD room) {
    out.clear();
    if (c.call == 'p') return Power(c.arg, &out, room);
    if (c.call == 't') return Transmit(c.arg, kChallenge8, &out, room);
    return IFDHSetProtocolParameters(lun_, c.arg, 0, 0, 0, 0);
  };
  for (std::string_view step : {"mute", "up", "t1", "out"}) {
    if (std::string_view(c.before).find(step) == std::string_view::npos) continue;
    if (step == "mute") reader_.sim().MuteAfterReset(1);
    ASSERT_TRUE(step != "up" || Power(IFD_POWER_UP, &out) == IFD_SUCCESS);
    if (step == "t1") Ready();
    if (step == "out") reader_.sim().RemoveCard();
    ASSERT_TRUE(step != "out" ||
                WaitUntil([&] { return IFDHICCPresence(lun_) == IFD_ICC_NOT_PRESENT; }));
    ASSERT_FALSE(HasFatalFailure()) << step;
  }
  EXPECT_EQ(call(c.room), c.response);
  EXPECT_TRUE(out.empty());
  // Exactly the room: the T=1 card's ATR, or the challenge and its status word.
  EXPECT_TRUE(!c.again_succeeds || call(c.call == 'p' ? 9 : 10) == IFD_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Fault,
    ::testing::Values(FaultCase{"AtrLongerThanTheRoom", "", 'p', kUp, 4, kNoRoom},
                      FaultCase{"MuteCard", "mute", 'p', kUp, 33, IFD_ERROR_POWER_ACTION, true},
                      // Not the card's protocol: never "selected" as something else.
                      FaultCase{"T0ForAT1Card", "up", 's', kT0, 0, kNotT},
                      FaultCase{"ResponseLongerThanTheRoom", "t1", 't', 1, 9, kNoRoom, true},
                      FaultCase{"TransmitToACardGone", "t1 out", 't', 1, 258, IFD_ICC_NOT_PRESENT}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ChannelTest, Attributes) {
  Bytes value;
  ASSERT_EQ(Capability(TAG_IFD_ATR, &value), IFD_SUCCESS);
  EXPECT_TRUE(value.empty());  // not powered: no ATR
  Ready();
  auto text = [](const char* s) { return Bytes(s, s + std::strlen(s) + 1); };  // with its NUL
  const struct {
    DWORD tag;
    RESPONSECODE response;
    Bytes value;
  } cases[] = {{TAG_IFD_ATR, IFD_SUCCESS, kT1Atr},
               {SCARD_ATTR_VENDOR_NAME, IFD_SUCCESS, text("Norvane-Talbeck")},
               {SCARD_ATTR_ICC_PRESENCE, IFD_SUCCESS, {0x02}},  // one byte
               {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, IFD_SUCCESS, {0x02, 0x00, 0x00, 0x00}},
               {0x12345, IFD_ERROR_TAG, Bytes(64, 0xEE)}};  // unknown: the length is left alone
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tag);
    EXPECT_EQ(Capability(c.tag, &value), c.response);
    EXPECT_EQ(value, c.value);
  }
  EXPECT_EQ(Capability(TAG_IFD_ATR, &value, 3), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(last_length_, kT1Atr.size());  // the room needed
  DWORD length = 8;
  EXPECT_EQ(IFDHGetCapabilities(lun_, 0x100000000ull, &length, value.data()), IFD_ERROR_TAG);
  // None can be set.
  EXPECT_EQ(IFDHSetCapabilities(lun_, 0x12345, 0, nullptr), IFD_ERROR_TAG);
  std::vector<UCHAR> big(4096, 0x55);
  EXPECT_EQ(IFDHSetCapabilities(lun_, SCARD_ATTR_VENDOR_NAME, 4096, big.data()),
            IFD_ERROR_SET_FAILURE);
}

// Cases 2 to 4 up to the longest command and response, short and extended, between a cold and
// a warm reset and the power-off; an extended APDU under T=0 is refused, sent nowhere.
TEST_F(ChannelTest, PowerAndExchanges) {
  Bytes file(256), echo = {0x80, 0xEE, 0x00, 0x00, 0xFF}, atr, response;
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = (i * 13 + 7) & 0xFF;
  for (int i = 0; i < 255; ++i) echo.push_back(static_cast<UCHAR>(i));
  echo.push_back(0x00);
  ASSERT_EQ(echo.size(), kMaxCommand);
  // ECHO of 65,535 bytes with Le 00 00: the longest command there is.
  Bytes longest = {0x80, 0xEE, 0x00, 0x00, 0x00, 0xFF, 0xFF};
  for (int i = 0; i < 65535; ++i) longest.push_back(static_cast<UCHAR>(i * 7));
  longest.insert(longest.end(), {0x00, 0x00});
  ASSERT_EQ(longest.size(), kMaxApdu);
  const Bytes challenge_all = {0x00, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00};  // 65,536 bytes
  ASSERT_EQ(Power(IFD_POWER_UP, &atr, static_cast<DWORD>(kT1Atr.size())), IFD_SUCCESS);
  EXPECT_EQ(atr, kT1Atr);
  ASSERT_EQ(Power(IFD_RESET, &atr), IFD_SUCCESS);
  EXPECT_EQ(atr, kT1Atr);
  ASSERT_EQ(IFDHSetProtocolParameters(lun_, kT1, 0, 0, 0, 0), IFD_SUCCESS);
  const DWORD extended_room = static_cast<DWORD>(kMaxApduResponse);
  const struct {
    Bytes apdu;
    std::size_t length;
    Bytes data;  // the response's first bytes, if they matter
    DWORD room = 258;
  } cases[] = {{kChallenge8, 10, {}},
               {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01}, 2, {0x90, 0x00}},
               {{0x00, 0xB0, 0x00, 0x00, 0x00}, 258, file},
               {echo, 257, Bytes(echo.begin() + 5, echo.end() - 1)},
               {longest, 65537, Bytes(longest.begin() + 7, longest.end() - 2), extended_room},
               {challenge_all, 65538, {}, extended_room}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.apdu.size());
    ASSERT_EQ(Transmit(1, c.apdu, &response, c.room), IFD_SUCCESS);
    ASSERT_EQ(response.size(), c.length);
    EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), response.begin()));
    EXPECT_EQ(response[c.length - 2], 0x90);
  }
  EXPECT_EQ(Transmit(0, challenge_all, &response, extended_room), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_TRUE(response.empty());
  longest.push_back(0x00);  // one byte more than any APDU
  EXPECT_EQ(Transmit(1, longest, &response, extended_room), IFD_COMMUNICATION_ERROR);
  ASSERT_EQ(Power(IFD_POWER_DOWN, &atr), IFD_SUCCESS);
  EXPECT_TRUE(atr.empty());
  EXPECT_EQ(IFDHPowerICC(lun_, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);  // as pcscd does
}

// The versions request is passed on; the feature list is empty; no other code is.
TEST_F(ChannelTest, ControlRequests) {
  UCHAR in[4] = {1, 0, 0, 0};
  const Bytes versions = {0x50, 0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 0x01};  // 1.0, firmware 2.1
  const struct {
    DWORD code;
    DWORD in_length;
    DWORD room;
    RESPONSECODE response;
    Bytes output;
  } cases[] = {{kGetVersions, 0, 32, IFD_SUCCESS, versions},
               {kGetVersionsPcscLite, 0, 32, IFD_SUCCESS, versions},
               {kGetVersions, 0, 4, IFD_ERROR_INSUFFICIENT_BUFFER, {}},
               {CM_IOCTL_GET_FEATURE_REQUEST, 0, 0, IFD_SUCCESS, {}},
               {0x00310004, 4, 64, IFD_ERROR_NOT_SUPPORTED, {}}};  // the driver's power request
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    UCHAR out[256] = {};
    DWORD returned = 9;
    EXPECT_EQ(IFDHControl(lun_, c.code, c.in_length ? in : nullptr, c.in_length,
                          c.room ? out : nullptr, c.room, &returned),
              c.response);
    EXPECT_EQ(Bytes(out, out + std::min<DWORD>(returned, sizeof(out))), c.output);
  }
}

TEST_F(ChannelTest, WaitEndsWithAChangeAndTellsEachRemoval) {
  // No time to wait (the stop's test has a wait of its full time), then a change before the
  // wait, which ends it at once.
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 0), IFD_SUCCESS);
  reader_.sim().RemoveCard();
  auto start = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 20000), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 5.0);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_ICC_NOT_PRESENT);
  auto insertion = WaitInFlight(20000);
  reader_.sim().InsertCard("t1");
  EXPECT_EQ(insertion.get().first, IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  // Out and in again before pcscd looks (a card swapped): it is told the card went out, as
  // often as it asks, until its next card wait; that wait ends at once, a card being in.
  auto removal = WaitInFlight(20000);
  reader_.sim().RemoveCard();
  const auto [response, took] = removal.get();
  EXPECT_EQ(response, IFD_SUCCESS);
  EXPECT_LT(took, 5.0);
  reader_.sim().InsertCard("t1");
  // Once the driver has the card again (its presence attribute, 1: present, tells pcscd nothing):
  Bytes presence;
  EXPECT_TRUE(WaitUntil([&] {
    return Capability(SCARD_ATTR_ICC_PRESENCE, &presence) == IFD_SUCCESS && presence == Bytes{1};
  }));
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_ICC_NOT_PRESENT);
  start = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 20000), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 5.0);  // at once: a card is in
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
}

// A stop ends the wait in flight, or else the next one, and never waits for a transmission in
// progress.
TEST_F(ChannelTest, StopEndsTheWaitInFlightOrTheNextOne) {
  Ready();
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  EXPECT_EQ(TolvexStopCardEvent(lun_), IFD_SUCCESS);
  auto start = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 60000), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 1.0);
  auto wait = WaitInFlight(60000);
  reader_.sim().SilenceNextCommand();
  auto transmit = std::async(std::launch::async, [this] {
    Bytes response;
    return Transmit(1, kChallenge8, &response);
  });
  // Whether or not the transmission has begun by now, the stop does not wait for it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  start = Clock::now();
  EXPECT_EQ(TolvexStopCardEvent(lun_), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 1.0);
  const auto [response, took] = wait.get();
  EXPECT_EQ(response, IFD_SUCCESS);
  EXPECT_LT(took, 5.0);
  EXPECT_EQ(transmit.get(), IFD_COMMUNICATION_ERROR);
  // The next wait is a wait again.
  start = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 300), IFD_SUCCESS);
  EXPECT_GE(Seconds(start), 0.29);
}

// The reader's serial device goes away under a card wait, while the channel names it by a
// symbolic link (as reader.conf names a stable udev name or tolvex-sim --link): the row says
// whether the link goes with it or is left naming nothing, and whether a new reader comes
// under the same name. Checked for each: what pcscd's calls get while it is away and after it
// is back, that the old device is closed, that the card waits keep their time (no spinning),
// and the handler's log: one line when it goes, one when it is back.
struct AwayCase {
  const char* name;
  bool link_removed;
  bool comes_back;
};

class ReaderAway : public ChannelTest, public ::testing::WithParamInterface<AwayCase> {
 public:
  void SetUp() override {
    ASSERT_TRUE(reader_.ok()) << reader_.error();
    ASSERT_TRUE(reader_.sim().InsertCard("t1", /*report=*/false));
    ASSERT_EQ(symlink(reader_.path().c_str(), link_.c_str()), 0);
    ASSERT_EQ(IFDHCreateChannelByName(lun_, const_cast<char*>(link_.c_str())), IFD_SUCCESS);
  }
  void TearDown() override {
    ChannelTest::TearDown();
    (void)unlink(link_.c_str());
  }

  // Lines of the handler's log about this link that contain `text`.
  size_t LogLines(const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : testing::LoggedLines())
      n += line.find(link_ + ":") != std::string::npos && line.find(text) != std::string::npos;
    return n;
  }
  // Descriptors of this process open on `device` (gone: "/dev/pts/N (deleted)").
  static size_t OpenOn(const std::string& device) {
    size_t n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
      n += !error && (target == device || target == device + " (deleted)");
    }
    return n;
  }

  const std::string link_ =
      "/tmp/tolvex-reader-" + std::to_string(getpid()) + "-" + std::to_string(lun_ >> 16);
};

TEST_P(ReaderAway, IsUnavailableUntilAReaderAnswersUnderItsNameAgain) {
  const AwayCase& c = GetParam();
  Ready();
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  const std::string old_device = reader_.path();
  auto wait = WaitInFlight(60000);
  reader_.Vanish();
  ASSERT_EQ(unlink(link_.c_str()), 0);
  // Left naming nothing: not the old terminal's path, whose number the system gives the next
  // pseudo-terminal opened (another test's, running beside this one).
  if (!c.link_removed) {
    ASSERT_EQ(symlink((link_ + ".nothing").c_str(), link_.c_str()), 0);
  }
  const auto [ended, took] = wait.get();
  EXPECT_EQ(ended, IFD_SUCCESS);  // for pcscd to look at once
  EXPECT_LT(took, 5.0);

  // Away: every call says the reader is unavailable (the presence query, in the words that
  // cost pcscd no pause) and leaves no length; the waits keep their time and log nothing
  // more, and the first closes the old device.
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_COMMUNICATION_ERROR);
  Bytes out;
  EXPECT_EQ(Transmit(1, kChallenge8, &out), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(Power(IFD_POWER_UP, &out), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(Capability(SCARD_ATTR_VENDOR_NAME, &out), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(last_length_, 0u);
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_NO_SUCH_DEVICE);
  for (int poll = 0; poll < 2; ++poll) {
    const auto start = Clock::now();
    EXPECT_EQ(TolvexWaitForCardEvent(lun_, 600), IFD_SUCCESS);
    EXPECT_GE(Seconds(start), 0.59);
    EXPECT_LT(Seconds(start), 5.0);
    EXPECT_EQ(IFDHICCPresence(lun_), IFD_COMMUNICATION_ERROR);
  }
  EXPECT_EQ(OpenOn(old_device), 0u);  // closed by pcscd's next poll after it learnt
  EXPECT_EQ(LogLines("is gone"), 1u);
  EXPECT_EQ(LogLines("is back"), 0u);
  if (!c.comes_back) return;

  // A new reader under the same name (the link made anew, or re-pointed in one step).
  PtySimulator next;
  ASSERT_TRUE(next.ok()) << next.error();
  ASSERT_TRUE(next.sim().InsertCard("t1", /*report=*/false));
  const std::string made = link_ + ".new";
  ASSERT_EQ(symlink(next.path().c_str(), made.c_str()), 0);
  ASSERT_EQ(rename(made.c_str(), link_.c_str()), 0);
  const auto start = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 20000), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 5.0);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  Bytes atr, response;
  EXPECT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
  EXPECT_EQ(atr, kT1Atr);
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(Transmit(1, kChallenge8, &response), IFD_SUCCESS);
  EXPECT_EQ(response.size(), 10u);
  EXPECT_EQ(LogLines("is gone"), 1u);
  EXPECT_EQ(LogLines("is back"), 1u);
  (void)IFDHCloseChannel(lun_);  // before `next` goes
}

INSTANTIATE_TEST_SUITE_P(Rows, ReaderAway,
                         ::testing::Values(AwayCase{"NameTakenAwayThenMadeAgain", true, true},
                                           AwayCase{"NameLeftNamingNothingThenRepointed", false,
                                                    true},
                                           AwayCase{"GoneForGood", true, false}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace tolvex::ifd
