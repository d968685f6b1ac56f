// The handler's checks of what it is given, with no reader behind it: null pointers, Luns it
// never opened, tags it does not know, devices that are missing or are no terminal, and the
// mapping of CHANNELID to a device.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "log_stub.h"
#include "pcsc/channel.h"
#include "pcsc/ifd.h"

namespace tolvex::ifd {
namespace {

using Poll = RESPONSECODE (*)(DWORD, int);
using Stop = RESPONSECODE (*)(DWORD);

constexpr DWORD kNeverOpened = 0x00070000;

TEST(ChannelDevice, SmallNumbersAreTtyS) {
  EXPECT_EQ(ChannelDevice(0), "/dev/ttyS0");
  EXPECT_EQ(ChannelDevice(1), "/dev/ttyS1");
  EXPECT_EQ(ChannelDevice(3), "/dev/ttyS3");
  EXPECT_EQ(ChannelDevice(255), "/dev/ttyS255");
}

TEST(ChannelDevice, SerialChannelIdsAndPortAddresses) {
  EXPECT_EQ(ChannelDevice(0x000103F8), "/dev/ttyS0");
  EXPECT_EQ(ChannelDevice(0x000102F8), "/dev/ttyS1");
  EXPECT_EQ(ChannelDevice(0x000103E8), "/dev/ttyS2");
  EXPECT_EQ(ChannelDevice(0x000102E8), "/dev/ttyS3");
  EXPECT_EQ(ChannelDevice(0x00010000), "/dev/ttyS0");
  EXPECT_EQ(ChannelDevice(0x00010005), "/dev/ttyS5");
}

TEST(ChannelDevice, AnythingElseIsNoDevice) {
  EXPECT_EQ(ChannelDevice(256), std::nullopt);
  EXPECT_EQ(ChannelDevice(0x0000FFFF), std::nullopt);
  EXPECT_EQ(ChannelDevice(0x00020001), std::nullopt);  // another channel type
  EXPECT_EQ(ChannelDevice(0x00011000), std::nullopt);
  EXPECT_EQ(ChannelDevice(0xFFFFFFFFFFFFFFFFull), std::nullopt);
}

TEST(CreateChannel, NullOrEmptyOrHugeNameIsRefused) {
  EXPECT_EQ(IFDHCreateChannelByName(0x00010000, nullptr), IFD_COMMUNICATION_ERROR);
  char empty[] = "";
  EXPECT_EQ(IFDHCreateChannelByName(0x00010000, empty), IFD_COMMUNICATION_ERROR);
  std::string huge(kMaxDeviceName + 10, 'x');
  huge[0] = '/';
  EXPECT_EQ(IFDHCreateChannelByName(0x00010000, huge.data()), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(ChannelTable::Get().size(), 0u);
}

TEST(CreateChannel, MissingDeviceIsNoSuchDeviceAndLeavesNothing) {
  testing::ClearLog();
  char name[] = "/dev/tolvex-test-no-such-device";
  EXPECT_EQ(IFDHCreateChannelByName(0x00010000, name), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(ChannelTable::Get().size(), 0u);
  EXPECT_TRUE(testing::Logged("/dev/tolvex-test-no-such-device"));
  // The Lun stays free: nothing is open on it.
  EXPECT_EQ(IFDHICCPresence(0x00010000), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHCloseChannel(0x00010000), IFD_COMMUNICATION_ERROR);
}

TEST(CreateChannel, DeviceThatIsNoTerminalIsRefused) {
  char null_device[] = "/dev/null";
  EXPECT_EQ(IFDHCreateChannelByName(0x00010000, null_device), IFD_NO_SUCH_DEVICE);
  char file[] = "/tmp/tolvex-ifd-test-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(IFDHCreateChannelByName(0x00010000, file), IFD_NO_SUCH_DEVICE);
  close(fd);
  unlink(file);
  char folder[] = "/tmp";
  EXPECT_NE(IFDHCreateChannelByName(0x00010000, folder), IFD_SUCCESS);
  EXPECT_EQ(ChannelTable::Get().size(), 0u);
}

TEST(CreateChannel, ChannelNumberOutsideTheMapIsRefused) {
  EXPECT_EQ(IFDHCreateChannel(0x00010000, 0x7FFFFFFF), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHCreateChannel(0x00010000, 4096), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(ChannelTable::Get().size(), 0u);
}

TEST(CreateChannel, OnlySlotZero) {
  char null_device[] = "/dev/null";
  // Refused before the device is even looked at.
  EXPECT_EQ(IFDHCreateChannelByName(0x00010001, null_device), IFD_COMMUNICATION_ERROR);
}

TEST(CloseChannel, UnknownLunIsAnError) {
  EXPECT_EQ(IFDHCloseChannel(kNeverOpened), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHCloseChannel(0), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHCloseChannel(0xFFFFFFFFul), IFD_COMMUNICATION_ERROR);
}

TEST(UnknownLun, EveryCallFailsCleanly) {
  UCHAR buffer[300];
  DWORD length = sizeof(buffer);
  EXPECT_EQ(IFDHICCPresence(kNeverOpened), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHPowerICC(kNeverOpened, IFD_POWER_UP, buffer, &length), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(IFDHPowerICC(kNeverOpened, IFD_POWER_DOWN, nullptr, nullptr), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHSetProtocolParameters(kNeverOpened, SCARD_PROTOCOL_T1, 0, 0, 0, 0),
            IFD_COMMUNICATION_ERROR);
  UCHAR apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  length = sizeof(buffer);
  SCARD_IO_HEADER send{1, 8};
  SCARD_IO_HEADER receive{};
  EXPECT_EQ(IFDHTransmitToICC(kNeverOpened, send, apdu, sizeof(apdu), buffer, &length, &receive),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(length, 0u);
  DWORD returned = 99;
  EXPECT_EQ(IFDHControl(kNeverOpened, kGetVersions, nullptr, 0, buffer, sizeof(buffer), &returned),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(returned, 0u);
  length = sizeof(buffer);
  EXPECT_EQ(IFDHGetCapabilities(kNeverOpened, TAG_IFD_ATR, &length, buffer),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(length, 0u);
  length = sizeof(buffer);
  EXPECT_EQ(IFDHGetCapabilities(kNeverOpened, SCARD_ATTR_VENDOR_NAME, &length, buffer),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHSetCapabilities(kNeverOpened, SCARD_ATTR_VENDOR_NAME, 1, buffer),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(TolvexWaitForCardEvent(kNeverOpened, 10), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(TolvexStopCardEvent(kNeverOpened), IFD_COMMUNICATION_ERROR);
  // A Lun with a slot number never names a channel.
  EXPECT_EQ(IFDHICCPresence(kNeverOpened | 1), IFD_COMMUNICATION_ERROR);
}

TEST(GetCapabilities, NullPointers) {
  UCHAR value[8];
  DWORD length = sizeof(value);
  EXPECT_EQ(IFDHGetCapabilities(kNeverOpened, TAG_IFD_SLOTS_NUMBER, nullptr, value),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHGetCapabilities(kNeverOpened, TAG_IFD_SLOTS_NUMBER, &length, nullptr),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(length, 0u);
}

// The handler's own tags are the same for every reader, asked before or after it opened.
TEST(GetCapabilities, HandlerTags) {
  struct Case {
    DWORD tag;
    UCHAR value;
  };
  for (const Case& c : {Case{TAG_IFD_SLOTS_NUMBER, 1}, Case{TAG_IFD_SIMULTANEOUS_ACCESS, 16},
                        Case{TAG_IFD_THREAD_SAFE, 1}, Case{TAG_IFD_SLOT_THREAD_SAFE, 0},
                        Case{TAG_IFD_POLLING_THREAD_KILLABLE, 0}}) {
    UCHAR value[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    DWORD length = sizeof(value);
    EXPECT_EQ(IFDHGetCapabilities(kNeverOpened, c.tag, &length, value), IFD_SUCCESS) << c.tag;
    EXPECT_EQ(length, 1u) << c.tag;
    EXPECT_EQ(value[0], c.value) << c.tag;
    EXPECT_EQ(value[1], 0xEE) << c.tag;
  }
  EXPECT_EQ(kMaxChannels, 16u);
}

TEST(GetCapabilities, PollAndStopFunctions) {
  UCHAR value[16];
  DWORD length = sizeof(value);
  ASSERT_EQ(IFDHGetCapabilities(0, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value),
            IFD_SUCCESS);
  ASSERT_EQ(length, sizeof(Poll));
  Poll poll = nullptr;
  std::memcpy(&poll, value, sizeof(poll));
  EXPECT_EQ(poll, &TolvexWaitForCardEvent);

  length = sizeof(value);
  ASSERT_EQ(IFDHGetCapabilities(0, TAG_IFD_STOP_POLLING_THREAD, &length, value), IFD_SUCCESS);
  ASSERT_EQ(length, sizeof(Stop));
  Stop stop = nullptr;
  std::memcpy(&stop, value, sizeof(stop));
  EXPECT_EQ(stop, &TolvexStopCardEvent);
}

TEST(GetCapabilities, TooLittleRoomWritesNothingAndSaysHowMuch) {
  UCHAR value[16];
  std::memset(value, 0xEE, sizeof(value));
  DWORD length = sizeof(void*) - 1;
  EXPECT_EQ(IFDHGetCapabilities(0, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value),
            IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, sizeof(void*));
  length = 0;
  EXPECT_EQ(IFDHGetCapabilities(0, TAG_IFD_SLOTS_NUMBER, &length, value),
            IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 1u);
  for (UCHAR byte : value) EXPECT_EQ(byte, 0xEE);
}

TEST(GetCapabilities, RetiredHandlerTagsAreUnknown) {
  UCHAR value[16];
  DWORD length = sizeof(value);
  EXPECT_EQ(IFDHGetCapabilities(0, TAG_IFD_POLLING_THREAD, &length, value), IFD_ERROR_TAG);
  EXPECT_EQ(IFDHGetCapabilities(0, TAG_IFD_SLOTNUM, &length, value), IFD_ERROR_TAG);
  EXPECT_EQ(length, sizeof(value));  // left alone for an unknown tag
}

TEST(PowerICC, NullBuffersForAPowerUp) {
  UCHAR atr[MAX_ATR_SIZE];
  DWORD length = sizeof(atr);
  EXPECT_EQ(IFDHPowerICC(kNeverOpened, IFD_POWER_UP, nullptr, &length), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(IFDHPowerICC(kNeverOpened, IFD_RESET, atr, nullptr), IFD_COMMUNICATION_ERROR);
}

TEST(TransmitToICC, NullPointersAndLengths) {
  UCHAR apdu[300] = {0x00, 0x84, 0x00, 0x00, 0x08};
  UCHAR response[300];
  SCARD_IO_HEADER send{1, 8};
  SCARD_IO_HEADER receive{};
  EXPECT_EQ(IFDHTransmitToICC(kNeverOpened, send, apdu, 5, response, nullptr, &receive),
            IFD_COMMUNICATION_ERROR);
  DWORD length = sizeof(response);
  EXPECT_EQ(IFDHTransmitToICC(kNeverOpened, send, apdu, 5, nullptr, &length, &receive),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(length, 0u);
  length = sizeof(response);
  EXPECT_EQ(IFDHTransmitToICC(kNeverOpened, send, nullptr, 5, response, &length, &receive),
            IFD_COMMUNICATION_ERROR);
  length = sizeof(response);
  EXPECT_EQ(IFDHTransmitToICC(kNeverOpened, send, apdu, 0, response, &length, &receive),
            IFD_COMMUNICATION_ERROR);
  length = sizeof(response);
  EXPECT_EQ(
      IFDHTransmitToICC(kNeverOpened, send, apdu, kMaxCommand + 1, response, &length, &receive),
      IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(length, 0u);
}

TEST(Control, NullPointers) {
  UCHAR buffer[16];
  EXPECT_EQ(IFDHControl(kNeverOpened, kGetVersions, nullptr, 0, buffer, sizeof(buffer), nullptr),
            IFD_COMMUNICATION_ERROR);
  DWORD returned = 7;
  EXPECT_EQ(IFDHControl(kNeverOpened, kGetVersions, nullptr, 4, buffer, sizeof(buffer), &returned),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(returned, 0u);
  returned = 7;
  EXPECT_EQ(IFDHControl(kNeverOpened, kGetVersions, nullptr, 0, nullptr, 8, &returned),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(returned, 0u);
}

TEST(SetCapabilities, NullValueWithALength) {
  EXPECT_EQ(IFDHSetCapabilities(kNeverOpened, SCARD_ATTR_VENDOR_NAME, 4, nullptr),
            IFD_COMMUNICATION_ERROR);
}

}  // namespace
}  // namespace tolvex::ifd
