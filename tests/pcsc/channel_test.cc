// The handler on a reader: a simulated reader on a pseudo-terminal inside the test, opened by
// its path as pcscd would from reader.conf, and driven through the ten entry points and the
// poll and stop functions only. Buffer sizes, error mapping, the card wait and its stop, and
// channels closed or gone under running calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "log_stub.h"
#include "pcsc/channel.h"
#include "pcsc/ifd.h"
#include "pty_reader.h"
#include "sim/faults.h"
#include "support/wait.h"

namespace tolvex::ifd {
namespace {

using Bytes = std::vector<UCHAR>;
using Clock = std::chrono::steady_clock;
using testing::PtyReader;
using tolvex::testutil::WaitUntil;

const Bytes kT1Atr = {0x3B, 0x82, 0x81, 0x31, 0x20, 0x45, 0x54, 0x31, 0x32};
const Bytes kT0Atr = {0x3B, 0x02, 0x14, 0x50};
const Bytes kChallenge8 = {0x00, 0x84, 0x00, 0x00, 0x08};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

class ChannelTest : public ::testing::Test {
 protected:
  // Every test its own Lun, so a test that fails half-way leaves the others alone.
  static DWORD NextLun() {
    static DWORD next = 0x10;
    return (next++) << 16;
  }

  void SetUp() override {
    ASSERT_TRUE(reader_.ok());
    lun_ = NextLun();
    ASSERT_EQ(IFDHCreateChannelByName(lun_, const_cast<char*>(reader_.path().c_str())),
              IFD_SUCCESS);
  }

  void TearDown() override {
    (void)IFDHCloseChannel(lun_);
    EXPECT_EQ(ChannelTable::Get().size(), 0u);
  }

  RESPONSECODE Power(DWORD action, Bytes* atr, DWORD room = MAX_ATR_SIZE) {
    UCHAR buffer[64];
    std::memset(buffer, 0xEE, sizeof(buffer));
    DWORD length = room;
    const RESPONSECODE response = IFDHPowerICC(lun_, action, buffer, &length);
    atr->assign(buffer, buffer + std::min<DWORD>(length, sizeof(buffer)));
    // Nothing beyond the room given is ever written.
    for (std::size_t i = room; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], 0xEE) << i;
    return response;
  }

  // Powers the card up and selects `protocol` (1 T=0, 2 T=1).
  void Ready(DWORD protocol) {
    Bytes atr;
    ASSERT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(lun_, protocol, 0, 0, 0, 0), IFD_SUCCESS);
  }

  RESPONSECODE Transmit(DWORD t, const Bytes& apdu, Bytes* response, DWORD room = 258,
                        SCARD_IO_HEADER* receive_out = nullptr) {
    std::vector<UCHAR> buffer(room + 16, 0xEE);
    DWORD length = room;
    SCARD_IO_HEADER send{t, 8};
    SCARD_IO_HEADER receive{0xFF, 0xFF};
    Bytes command = apdu;
    const RESPONSECODE result =
        IFDHTransmitToICC(lun_, send, command.data(), static_cast<DWORD>(command.size()),
                          buffer.data(), &length, &receive);
    EXPECT_LE(length, room);
    for (std::size_t i = room; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << i;
    response->assign(buffer.begin(), buffer.begin() + std::min<DWORD>(length, room));
    if (receive_out != nullptr) *receive_out = receive;
    return result;
  }

  RESPONSECODE Capability(DWORD tag, Bytes* value, DWORD room = 64) {
    std::vector<UCHAR> buffer(room + 8, 0xEE);
    DWORD length = room;
    const RESPONSECODE response = IFDHGetCapabilities(lun_, tag, &length, buffer.data());
    for (std::size_t i = room; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << i;
    value->assign(buffer.begin(), buffer.begin() + std::min<DWORD>(length, room));
    last_length_ = length;
    return response;
  }

  // Waits until the handler reports the card in or out.
  bool PresenceBecomes(RESPONSECODE wanted) {
    return WaitUntil([&] { return IFDHICCPresence(lun_) == wanted; });
  }

  // Takes the card out and puts a `model` card in, each step seen by the handler.
  bool PutCard(const char* model) {
    reader_.sim().RemoveCard();
    if (!PresenceBecomes(IFD_ICC_NOT_PRESENT)) return false;
    reader_.sim().InsertCard(model);
    return PresenceBecomes(IFD_SUCCESS);
  }

  PtyReader reader_;
  DWORD lun_ = 0;
  DWORD last_length_ = 0;
};

// --- presence and power ---------------------------------------------------------------------

TEST_F(ChannelTest, PresenceFollowsTheCard) {
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  reader_.sim().RemoveCard();
  EXPECT_TRUE(PresenceBecomes(IFD_ICC_NOT_PRESENT));
  reader_.sim().InsertCard("t0");
  EXPECT_TRUE(PresenceBecomes(IFD_SUCCESS));
}

TEST_F(ChannelTest, PowerUpResetAndDown) {
  Bytes atr;
  ASSERT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
  EXPECT_EQ(atr, kT1Atr);
  ASSERT_EQ(Power(IFD_RESET, &atr), IFD_SUCCESS);
  EXPECT_EQ(atr, kT1Atr);
  ASSERT_EQ(Power(IFD_POWER_DOWN, &atr), IFD_SUCCESS);
  EXPECT_TRUE(atr.empty());
  // pcscd powers down without buffers.
  EXPECT_EQ(IFDHPowerICC(lun_, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
  EXPECT_EQ(Power(12345, &atr), IFD_NOT_SUPPORTED);
  EXPECT_TRUE(atr.empty());
}

TEST_F(ChannelTest, AtrLongerThanTheRoomIsAnError) {
  Bytes atr;
  EXPECT_EQ(Power(IFD_POWER_UP, &atr, 4), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(atr.empty());
  EXPECT_EQ(Power(IFD_POWER_UP, &atr, 0), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Power(IFD_POWER_UP, &atr, static_cast<DWORD>(kT1Atr.size())), IFD_SUCCESS);
  EXPECT_EQ(atr, kT1Atr);
}

TEST_F(ChannelTest, PowerUpWithNoCard) {
  reader_.sim().RemoveCard();
  ASSERT_TRUE(PresenceBecomes(IFD_ICC_NOT_PRESENT));
  Bytes atr;
  EXPECT_EQ(Power(IFD_POWER_UP, &atr), IFD_ICC_NOT_PRESENT);
  EXPECT_TRUE(atr.empty());
}

TEST_F(ChannelTest, MuteCardFailsThePowerUp) {
  reader_.sim().MuteAfterReset(1);
  Bytes atr;
  EXPECT_EQ(Power(IFD_POWER_UP, &atr), IFD_ERROR_POWER_ACTION);
  EXPECT_TRUE(atr.empty());
  EXPECT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
  EXPECT_EQ(atr, kT1Atr);
}

// --- attributes -----------------------------------------------------------------------------

TEST_F(ChannelTest, AtrTagFollowsThePower) {
  Bytes value;
  ASSERT_EQ(Capability(TAG_IFD_ATR, &value), IFD_SUCCESS);
  EXPECT_TRUE(value.empty());  // not powered: no ATR
  Bytes atr;
  ASSERT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
  ASSERT_EQ(Capability(TAG_IFD_ATR, &value), IFD_SUCCESS);
  EXPECT_EQ(value, kT1Atr);
  ASSERT_EQ(Capability(SCARD_ATTR_ATR_STRING, &value), IFD_SUCCESS);
  EXPECT_EQ(value, kT1Atr);
  EXPECT_EQ(Capability(TAG_IFD_ATR, &value, 3), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(last_length_, kT1Atr.size());  // the room needed
}

TEST_F(ChannelTest, VendorAttributes) {
  Bytes value;
  ASSERT_EQ(Capability(SCARD_ATTR_VENDOR_NAME, &value), IFD_SUCCESS);
  EXPECT_EQ(std::string(value.begin(), value.end()), std::string("Norvane-Talbeck", 16));
  ASSERT_EQ(Capability(SCARD_ATTR_VENDOR_IFD_TYPE, &value), IFD_SUCCESS);
  EXPECT_EQ(value.back(), 0);
  ASSERT_EQ(Capability(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, &value), IFD_SUCCESS);
  EXPECT_EQ(value.back(), 0);
  ASSERT_EQ(Capability(SCARD_ATTR_VENDOR_IFD_VERSION, &value), IFD_SUCCESS);
  EXPECT_EQ(value, (Bytes{0x00, 0x00, 0x01, 0x02}));  // 2.1, build 0
  ASSERT_EQ(Capability(SCARD_ATTR_CHANNEL_ID, &value), IFD_SUCCESS);
  EXPECT_EQ(value, (Bytes{0x00, 0x00, 0x01, 0x00}));  // serial, channel 0
  ASSERT_EQ(Capability(SCARD_ATTR_DEFAULT_CLK, &value), IFD_SUCCESS);
  EXPECT_EQ(value, (Bytes{0xFC, 0x0D, 0x00, 0x00}));  // 3580 kHz
  ASSERT_EQ(Capability(SCARD_ATTR_MAX_IFSD, &value), IFD_SUCCESS);
  EXPECT_EQ(value, (Bytes{0xFE, 0x00, 0x00, 0x00}));
  ASSERT_EQ(Capability(SCARD_ATTR_ICC_PRESENCE, &value), IFD_SUCCESS);
  EXPECT_EQ(value, (Bytes{0x02}));  // one byte
  Ready(SCARD_PROTOCOL_T1);
  ASSERT_EQ(Capability(SCARD_ATTR_CURRENT_PROTOCOL_TYPE, &value), IFD_SUCCESS);
  EXPECT_EQ(value, (Bytes{0x02, 0x00, 0x00, 0x00}));
}

TEST_F(ChannelTest, UnknownTagsLeaveTheLengthAlone) {
  for (DWORD tag : {DWORD{0x12345}, DWORD{SCARD_ATTR_DEVICE_FRIENDLY_NAME_A},
                    DWORD{SCARD_ATTR_MAXINPUT}, DWORD{0xFFFFFFFF}, DWORD{0x0FFF}}) {
    Bytes value;
    EXPECT_EQ(Capability(tag, &value, 40), IFD_ERROR_TAG) << tag;
    EXPECT_EQ(last_length_, 40u) << tag;
  }
  UCHAR value[8];
  DWORD length = sizeof(value);
  EXPECT_EQ(IFDHGetCapabilities(lun_, 0x100000000ull, &length, value), IFD_ERROR_TAG);
}

TEST_F(ChannelTest, NoAttributeCanBeSet) {
  UCHAR value[4] = {1, 2, 3, 4};
  EXPECT_EQ(IFDHSetCapabilities(lun_, SCARD_ATTR_VENDOR_NAME, 4, value), IFD_ERROR_TAG);
  EXPECT_EQ(IFDHSetCapabilities(lun_, 0x12345, 0, nullptr), IFD_ERROR_TAG);
  std::vector<UCHAR> big(4096, 0x55);
  EXPECT_EQ(IFDHSetCapabilities(lun_, SCARD_ATTR_VENDOR_NAME, 4096, big.data()),
            IFD_ERROR_SET_FAILURE);
}

// --- protocol and transmission --------------------------------------------------------------

TEST_F(ChannelTest, ProtocolSelection) {
  Bytes atr;
  ASSERT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, 4, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, 3, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, 0, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
  // A T=1 card: T=0 is refused, never "selected" as something else.
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T0, 0, 0, 0, 0),
            IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
}

TEST_F(ChannelTest, RefusedNegotiationIsACommunicationError) {
  ASSERT_TRUE(PutCard("dual"));
  Bytes atr;
  ASSERT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
  const std::vector<std::string> always = {"always"};
  ASSERT_EQ(sim::ApplyFault(reader_.sim(), "pts-refuse", always).rfind("ok", 0), 0u);
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T1, 0, 0, 0, 0),
            IFD_COMMUNICATION_ERROR);
  Bytes response;
  EXPECT_NE(Transmit(1, kChallenge8, &response), IFD_SUCCESS);
}

TEST_F(ChannelTest, T1Exchanges) {
  Ready(SCARD_PROTOCOL_T1);
  Bytes response;
  SCARD_IO_HEADER receive{};
  ASSERT_EQ(Transmit(1, kChallenge8, &response, 258, &receive), IFD_SUCCESS);
  EXPECT_EQ(response.size(), 10u);
  EXPECT_EQ(response[8], 0x90);
  EXPECT_EQ(receive.Protocol, 1u);
  ASSERT_EQ(Transmit(1, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01}, &response), IFD_SUCCESS);
  ASSERT_EQ(Transmit(1, {0x00, 0xB0, 0x00, 0x00, 0x00}, &response), IFD_SUCCESS);
  ASSERT_EQ(response.size(), 258u);
  for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(response[i], (i * 13 + 7) & 0xFF) << i;
  Bytes echo = {0x80, 0xEE, 0x00, 0x00, 0xFF};
  for (int i = 0; i < 255; ++i) echo.push_back(static_cast<UCHAR>(i));
  echo.push_back(0x00);
  ASSERT_EQ(echo.size(), kMaxCommand);
  ASSERT_EQ(Transmit(1, echo, &response), IFD_SUCCESS);
  EXPECT_EQ(response.size(), 257u);
}

TEST_F(ChannelTest, T0Exchanges) {
  ASSERT_TRUE(PutCard("t0"));
  Bytes atr;
  ASSERT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
  EXPECT_EQ(atr, kT0Atr);
  ASSERT_EQ(IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
  Bytes response;
  ASSERT_EQ(Transmit(0, kChallenge8, &response), IFD_SUCCESS);
  EXPECT_EQ(response.size(), 10u);
  // The T=1 protocol on a T=0 card.
  EXPECT_EQ(Transmit(1, kChallenge8, &response), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_TRUE(response.empty());
}

TEST_F(ChannelTest, ResponseLongerThanTheRoomIsAnError) {
  Ready(SCARD_PROTOCOL_T1);
  Bytes response;
  EXPECT_EQ(Transmit(1, kChallenge8, &response, 9), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(response.empty());
  EXPECT_EQ(Transmit(1, kChallenge8, &response, 0), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Transmit(1, kChallenge8, &response, 1), IFD_ERROR_INSUFFICIENT_BUFFER);
  // The card is still in step: the next exchange works.
  ASSERT_EQ(Transmit(1, kChallenge8, &response, 10), IFD_SUCCESS);
  EXPECT_EQ(response.size(), 10u);
}

TEST_F(ChannelTest, WrongProtocolNumbers) {
  Ready(SCARD_PROTOCOL_T1);
  Bytes response;
  EXPECT_EQ(Transmit(0, kChallenge8, &response), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(Transmit(2, kChallenge8, &response), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(Transmit(SCARD_PROTOCOL_RAW, kChallenge8, &response), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(Transmit(0xFFFFFFFF, kChallenge8, &response), IFD_PROTOCOL_NOT_SUPPORTED);
}

TEST_F(ChannelTest, TransmitWithoutPowerOrProtocolFails) {
  Bytes response;
  EXPECT_EQ(Transmit(1, kChallenge8, &response), IFD_COMMUNICATION_ERROR);
  Bytes atr;
  ASSERT_EQ(Power(IFD_POWER_UP, &atr), IFD_SUCCESS);
  EXPECT_EQ(Transmit(1, kChallenge8, &response), IFD_COMMUNICATION_ERROR);
}

TEST_F(ChannelTest, RemovedCardIsNotPresent) {
  Ready(SCARD_PROTOCOL_T1);
  reader_.sim().RemoveCard();
  ASSERT_TRUE(PresenceBecomes(IFD_ICC_NOT_PRESENT));
  Bytes response;
  EXPECT_EQ(Transmit(1, kChallenge8, &response), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_ICC_NOT_PRESENT);
}

TEST_F(ChannelTest, SilentReaderIsACommunicationError) {
  Ready(SCARD_PROTOCOL_T1);
  reader_.sim().SilenceNextCommand();
  Bytes response;
  const auto start = Clock::now();
  EXPECT_EQ(Transmit(1, kChallenge8, &response), IFD_COMMUNICATION_ERROR);
  EXPECT_LT(Seconds(start), 10.0);
  EXPECT_TRUE(response.empty());
}

// Whatever an application sends, nothing is written past the room and nothing hangs.
TEST_F(ChannelTest, ArbitraryCommands) {
  Ready(SCARD_PROTOCOL_T1);
  std::mt19937 random(20240611);
  for (int i = 0; i < 60; ++i) {
    Bytes command(1 + random() % kMaxCommand);
    for (UCHAR& byte : command) byte = static_cast<UCHAR>(random());
    if (i % 3 == 0) command[0] = 0x00;
    const DWORD room = random() % 300;
    Bytes response;
    const RESPONSECODE result = Transmit(1, command, &response, room);
    if (result != IFD_SUCCESS) {
      EXPECT_TRUE(response.empty());
      Bytes atr;
      if (Power(IFD_POWER_UP, &atr) == IFD_SUCCESS) {
        (void)IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T1, 0, 0, 0, 0);
      }
    }
  }
  Ready(SCARD_PROTOCOL_T1);
  Bytes response;
  EXPECT_EQ(Transmit(1, kChallenge8, &response), IFD_SUCCESS);
}

// --- control requests -----------------------------------------------------------------------

TEST_F(ChannelTest, VersionsRequest) {
  for (DWORD code : {kGetVersions, kGetVersionsPcscLite}) {
    UCHAR out[32];
    DWORD returned = 0;
    ASSERT_EQ(IFDHControl(lun_, code, nullptr, 0, out, sizeof(out), &returned), IFD_SUCCESS);
    ASSERT_EQ(returned, 8u);
    EXPECT_EQ(out[4], 1);  // driver 1.0
    EXPECT_EQ(out[5], 0);
    EXPECT_EQ(out[6], 2);  // firmware 2.1
    EXPECT_EQ(out[7], 1);
  }
  UCHAR small[4];
  DWORD returned = 9;
  EXPECT_EQ(IFDHControl(lun_, kGetVersions, nullptr, 0, small, sizeof(small), &returned),
            IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(returned, 0u);
}

TEST_F(ChannelTest, FeatureRequestHasNoFeatures) {
  UCHAR out[256];
  DWORD returned = 9;
  EXPECT_EQ(
      IFDHControl(lun_, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, out, sizeof(out), &returned),
      IFD_SUCCESS);
  EXPECT_EQ(returned, 0u);
  returned = 9;
  EXPECT_EQ(IFDHControl(lun_, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, nullptr, 0, &returned),
            IFD_SUCCESS);
  EXPECT_EQ(returned, 0u);
}

TEST_F(ChannelTest, OtherControlCodesAreNotPassedOn) {
  UCHAR in[4] = {1, 0, 0, 0};
  UCHAR out[64];
  // The driver's own requests (power, here) are not for applications to send this way.
  for (DWORD code : {DWORD{0x00310004}, DWORD{0x42000001}, DWORD{0}, DWORD{0xFFFFFFFF}}) {
    DWORD returned = 9;
    EXPECT_EQ(IFDHControl(lun_, code, in, sizeof(in), out, sizeof(out), &returned),
              IFD_ERROR_NOT_SUPPORTED)
        << code;
    EXPECT_EQ(returned, 0u);
  }
}

// --- the card wait --------------------------------------------------------------------------

TEST_F(ChannelTest, WaitRunsOutWithNoChange) {
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  const auto start = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 200), IFD_SUCCESS);
  EXPECT_GE(Seconds(start), 0.19);
  EXPECT_LT(Seconds(start), 5.0);
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 0), IFD_SUCCESS);
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, -5), IFD_SUCCESS);
}

TEST_F(ChannelTest, WaitEndsWithTheRemovalAndTheInsertion) {
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  auto wait = std::async(std::launch::async, [this] {
    const auto start = Clock::now();
    const RESPONSECODE response = TolvexWaitForCardEvent(lun_, 20000);
    return std::make_pair(response, Seconds(start));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  reader_.sim().RemoveCard();
  const auto [response, took] = wait.get();
  EXPECT_EQ(response, IFD_SUCCESS);
  EXPECT_LT(took, 5.0);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_ICC_NOT_PRESENT);
  // Now waiting for a card.
  auto insertion =
      std::async(std::launch::async, [this] { return TolvexWaitForCardEvent(lun_, 20000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  reader_.sim().InsertCard("t1");
  EXPECT_EQ(insertion.get(), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
}

TEST_F(ChannelTest, ChangeBeforeTheWaitEndsItAtOnce) {
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  reader_.sim().RemoveCard();
  const auto start = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 20000), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 5.0);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_ICC_NOT_PRESENT);
}

// Out and in again before pcscd looks: it is still told the card went out, once.
TEST_F(ChannelTest, SwappedCardIsReportedOutOnce) {
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  auto wait =
      std::async(std::launch::async, [this] { return TolvexWaitForCardEvent(lun_, 20000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  reader_.sim().RemoveCard();
  ASSERT_EQ(wait.get(), IFD_SUCCESS);
  reader_.sim().InsertCard("t1");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 20000), IFD_SUCCESS);  // at once: a card is in
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
}

TEST_F(ChannelTest, StopEndsTheWaitAtOnce) {
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  auto wait = std::async(std::launch::async, [this] {
    const auto start = Clock::now();
    const RESPONSECODE response = TolvexWaitForCardEvent(lun_, 60000);
    return std::make_pair(response, Seconds(start));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = Clock::now();
  EXPECT_EQ(TolvexStopCardEvent(lun_), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 1.0);
  const auto [response, took] = wait.get();
  EXPECT_EQ(response, IFD_SUCCESS);
  EXPECT_LT(took, 5.0);
  // The next wait is a wait again.
  const auto again = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 300), IFD_SUCCESS);
  EXPECT_GE(Seconds(again), 0.29);
}

TEST_F(ChannelTest, StopBeforeTheWaitEndsTheNextOneOnly) {
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  EXPECT_EQ(TolvexStopCardEvent(lun_), IFD_SUCCESS);
  auto start = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 60000), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 1.0);
  start = Clock::now();
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 300), IFD_SUCCESS);
  EXPECT_GE(Seconds(start), 0.29);
}

// The stop never waits for a transmission in progress.
TEST_F(ChannelTest, StopDoesNotWaitForATransmit) {
  Ready(SCARD_PROTOCOL_T1);
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  auto wait =
      std::async(std::launch::async, [this] { return TolvexWaitForCardEvent(lun_, 60000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  reader_.sim().SilenceNextCommand();
  auto transmit = std::async(std::launch::async, [this] {
    Bytes response;
    return Transmit(1, kChallenge8, &response);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  EXPECT_EQ(TolvexStopCardEvent(lun_), IFD_SUCCESS);
  EXPECT_EQ(wait.get(), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 1.0);
  EXPECT_EQ(transmit.get(), IFD_COMMUNICATION_ERROR);
}

TEST_F(ChannelTest, OneWaitAtATime) {
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  auto wait =
      std::async(std::launch::async, [this] { return TolvexWaitForCardEvent(lun_, 60000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 60000), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(TolvexStopCardEvent(lun_), IFD_SUCCESS);
  EXPECT_EQ(wait.get(), IFD_SUCCESS);
}

// --- closing and going away -----------------------------------------------------------------

TEST_F(ChannelTest, CloseEndsAWaitAndIsQuick) {
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  auto wait =
      std::async(std::launch::async, [this] { return TolvexWaitForCardEvent(lun_, 60000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = Clock::now();
  EXPECT_EQ(IFDHCloseChannel(lun_), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 3.0);
  wait.get();
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHCloseChannel(lun_), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(TolvexWaitForCardEvent(lun_, 10), IFD_COMMUNICATION_ERROR);
}

TEST_F(ChannelTest, CloseWithThePoweredCard) {
  Ready(SCARD_PROTOCOL_T1);
  const auto start = Clock::now();
  EXPECT_EQ(IFDHCloseChannel(lun_), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 3.0);
}

TEST_F(ChannelTest, TheLunCanBeOpenedAgain) {
  ASSERT_EQ(IFDHCloseChannel(lun_), IFD_SUCCESS);
  ASSERT_EQ(IFDHCreateChannelByName(lun_, const_cast<char*>(reader_.path().c_str())), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
}

TEST_F(ChannelTest, LunInUseIsRefused) {
  PtyReader other;
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(IFDHCreateChannelByName(lun_, const_cast<char*>(other.path().c_str())),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);  // the first is untouched
  EXPECT_EQ(ChannelTable::Get().size(), 1u);
}

TEST_F(ChannelTest, DeviceInUseIsRefused) {
  const DWORD other_lun = NextLun();
  EXPECT_EQ(IFDHCreateChannelByName(other_lun, const_cast<char*>(reader_.path().c_str())),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHICCPresence(other_lun), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(ChannelTable::Get().size(), 1u);
}

TEST_F(ChannelTest, ReaderGoneIsNoSuchDevice) {
  Ready(SCARD_PROTOCOL_T1);
  ASSERT_EQ(IFDHICCPresence(lun_), IFD_SUCCESS);
  auto wait = std::async(std::launch::async, [this] {
    const auto start = Clock::now();
    const RESPONSECODE response = TolvexWaitForCardEvent(lun_, 60000);
    return std::make_pair(response, Seconds(start));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  reader_.Vanish();
  const auto [response, took] = wait.get();
  EXPECT_EQ(response, IFD_NO_SUCH_DEVICE);
  EXPECT_LT(took, 5.0);
  EXPECT_EQ(IFDHICCPresence(lun_), IFD_NO_SUCH_DEVICE);
  Bytes reply;
  EXPECT_EQ(Transmit(1, kChallenge8, &reply), IFD_NO_SUCH_DEVICE);
  Bytes atr;
  EXPECT_EQ(Power(IFD_POWER_UP, &atr), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(IFDHSetProtocolParameters(lun_, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_NO_SUCH_DEVICE);
  const auto start = Clock::now();
  EXPECT_EQ(IFDHCloseChannel(lun_), IFD_SUCCESS);
  EXPECT_LT(Seconds(start), 5.0);
}

// Two readers on the one handler, each on its own Lun, used at the same time.
TEST_F(ChannelTest, TwoReadersAtOnce) {
  PtyReader second("t0");
  ASSERT_TRUE(second.ok());
  const DWORD second_lun = NextLun();
  ASSERT_EQ(IFDHCreateChannelByName(second_lun, const_cast<char*>(second.path().c_str())),
            IFD_SUCCESS);
  Ready(SCARD_PROTOCOL_T1);
  UCHAR atr[MAX_ATR_SIZE];
  DWORD atr_length = sizeof(atr);
  ASSERT_EQ(IFDHPowerICC(second_lun, IFD_POWER_UP, atr, &atr_length), IFD_SUCCESS);
  EXPECT_EQ(Bytes(atr, atr + atr_length), kT0Atr);
  ASSERT_EQ(IFDHSetProtocolParameters(second_lun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);

  auto exchanges = [](DWORD lun, DWORD t) {
    int ok = 0;
    for (int i = 0; i < 20; ++i) {
      UCHAR command[] = {0x00, 0x84, 0x00, 0x00, 0x20};
      UCHAR response[64];
      DWORD length = sizeof(response);
      SCARD_IO_HEADER send{t, 8};
      SCARD_IO_HEADER receive{};
      if (IFDHTransmitToICC(lun, send, command, sizeof(command), response, &length, &receive) ==
              IFD_SUCCESS &&
          length == 34) {
        ++ok;
      }
    }
    return ok;
  };
  auto first = std::async(std::launch::async, exchanges, lun_, DWORD{1});
  auto other = std::async(std::launch::async, exchanges, second_lun, DWORD{0});
  EXPECT_EQ(first.get(), 20);
  EXPECT_EQ(other.get(), 20);
  EXPECT_EQ(ChannelTable::Get().size(), 2u);
  EXPECT_EQ(IFDHCloseChannel(second_lun), IFD_SUCCESS);
}

// Calls from several threads while the channel closes under them: they fail, nothing breaks.
TEST_F(ChannelTest, CallsRacingTheClose) {
  Ready(SCARD_PROTOCOL_T1);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!stop) (void)TolvexWaitForCardEvent(lun_, 50);
  });
  threads.emplace_back([&] {
    while (!stop) (void)TolvexStopCardEvent(lun_);
  });
  threads.emplace_back([&] {
    while (!stop) {
      Bytes response;
      (void)Transmit(1, kChallenge8, &response);
      (void)IFDHICCPresence(lun_);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(IFDHCloseChannel(lun_), IFD_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop = true;
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace tolvex::ifd
