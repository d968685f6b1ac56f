// The handler's checks of what it is given, with no reader behind it: Luns it never opened, tags
// it does not know, devices missing or no terminal, and the mapping of CHANNELID to a device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "log_stub.h"
#include "pcsc/channel.h"
#include "pcsc/ifd.h"

namespace tolvex::ifd {
namespace {

constexpr DWORD kUnopened = 0x00070000;
constexpr DWORD kLun = 0x00010000;

TEST(CreateChannel, WhatNamesNoTerminalIsRefusedAndLeavesNothing) {
  char file[] = "/tmp/tolvex-ifd-test-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  std::string huge(kMaxDeviceName + 10, 'x');
  huge[0] = '/';
  char empty[] = "", missing[] = "/dev/tolvex-test-no-such-device", null[] = "/dev/null";
  char folder[] = "/tmp";
  // A terminal nobody answers on: the master side held open, never read.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string silent = ptsname(master);
  const struct {
    DWORD lun;
    char* name;
    RESPONSECODE response;
    std::string logged;  // what the log says of it, if anything
  } cases[] = {{kLun, nullptr, IFD_COMMUNICATION_ERROR, ""},
               {kLun, empty, IFD_COMMUNICATION_ERROR, ""},
               {kLun, huge.data(), IFD_COMMUNICATION_ERROR, ""},
               {kLun, missing, IFD_NO_SUCH_DEVICE, std::string(missing) + ": no serial device"},
               {kLun, null, IFD_NO_SUCH_DEVICE, ""},
               {kLun, file, IFD_NO_SUCH_DEVICE, ""},
               {kLun, folder, IFD_COMMUNICATION_ERROR, ""},  // opens, as no terminal
               // The status the driver's start gave, as the command reports it too.
               {kLun, silent.data(), IFD_COMMUNICATION_ERROR,
                silent + ": no reader started (STATUS_UNSUCCESSFUL)"}};
  for (const auto& c : cases) {
    EXPECT_EQ(IFDHCreateChannelByName(c.lun, c.name), c.response) << (c.name ? c.name : "null");
    EXPECT_TRUE(c.logged.empty() || testing::Logged(c.logged)) << c.logged;
  }
  close(master);
  close(fd);
  unlink(file);
  // A port's number, or a serial CHANNELID: a COM port's address or a port's number.
  const std::pair<DWORD, std::optional<std::string>> channels[] = {{3, "/dev/ttyS3"},
                                                                   {255, "/dev/ttyS255"},
                                                                   {256, std::nullopt},
                                                                   {0x000103F8, "/dev/ttyS0"},
                                                                   {0x000102F8, "/dev/ttyS1"},
                                                                   {0x000102E8, "/dev/ttyS3"},
                                                                   {0x000100FF, "/dev/ttyS255"},
                                                                   {0x00010100, std::nullopt},
                                                                   {0x00020001, std::nullopt}};
  for (const auto& [channel, device] : channels) EXPECT_EQ(ChannelDevice(channel), device);
  EXPECT_EQ(IFDHCreateChannel(kLun, 0x7FFFFFFF), IFD_COMMUNICATION_ERROR);  // outside the map
  EXPECT_EQ(IFDHCreateChannel(kLun, 4096), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(ChannelTable::Get().size(), 0u);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_COMMUNICATION_ERROR);  // the Lun stays free
}

// Every entry point on a Lun never opened, and a command too long: an error, and a length it
// returns set to 0. (Missing pointers: pcscd always passes its own buffers, but for a power-down.)
TEST(EntryPoints, FailCleanlyOnAnUnknownLun) {
  UCHAR in[300] = {0x00, 0x84, 0x00, 0x00, 0x08}, out[300];
  const DWORD room = sizeof(out), u = kUnopened, v = kGetVersions, name = SCARD_ATTR_VENDOR_NAME;
  DWORD n = 0;
  const SCARD_IO_HEADER s{1, 8};
  SCARD_IO_HEADER r{};
  const struct {
    std::function<RESPONSECODE()> call;
    DWORD length_after;  // ~0: not returned
  } cases[] = {
      {[&] { return IFDHICCPresence(u); }, ~0u},
      {[&] { return IFDHCloseChannel(u); }, ~0u},
      {[&] { return IFDHPowerICC(u, IFD_POWER_UP, out, &n); }, 0},
      {[&] { return IFDHSetProtocolParameters(u, 2, 0, 0, 0, 0); }, ~0u},
      {[&] { return IFDHTransmitToICC(u, s, in, 5, out, &n, &r); }, 0},
      {[&] { return IFDHTransmitToICC(u, s, in, kMaxCommand + 1, out, &n, &r); }, 0},
      {[&] { return IFDHControl(u, v, nullptr, 0, out, room, &n); }, 0},
      {[&] { return IFDHGetCapabilities(u, TAG_IFD_ATR, &n, out); }, 0},
      {[&] { return IFDHSetCapabilities(u, name, 1, out); }, ~0u},
      {[&] { return TolvexWaitForCardEvent(u, 10); }, ~0u},
      {[&] { return TolvexStopCardEvent(u); }, ~0u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    n = room;
    EXPECT_EQ(c.call(), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(n, c.length_after == ~0u ? room : c.length_after);
  }
}

// The handler's own tags: the same for every reader, answered with no channel open.
TEST(GetCapabilities, HandlerTags) {
  const auto poll = &TolvexWaitForCardEvent;
  const auto stop = &TolvexStopCardEvent;
  const DWORD f = sizeof(poll), kPoll = TAG_IFD_POLLING_THREAD_WITH_TIMEOUT;
  auto bytes = [](const auto& value) {
    const auto* p = reinterpret_cast<const UCHAR*>(&value);
    return std::vector<UCHAR>(p, p + sizeof(value));
  };
  const struct {
    DWORD tag;
    DWORD room;
    RESPONSECODE response;
    std::vector<UCHAR> value;  // or the room needed
    DWORD length;
  } cases[] = {{TAG_IFD_SLOTS_NUMBER, 1, IFD_SUCCESS, {1}, 1},
               {kPoll, f, IFD_SUCCESS, bytes(poll), f},
               {TAG_IFD_STOP_POLLING_THREAD, f, IFD_SUCCESS, bytes(stop), f},
               {kPoll, f - 1, IFD_ERROR_INSUFFICIENT_BUFFER, {}, f},
               {TAG_IFD_SLOTS_NUMBER, 0, IFD_ERROR_INSUFFICIENT_BUFFER, {}, 1},
               // The longest command: extended APDUs are taken.
               {SCARD_ATTR_MAXINPUT, 4, IFD_SUCCESS, bytes(std::uint32_t{65544}), 4},
               {SCARD_ATTR_MAXINPUT, 3, IFD_ERROR_INSUFFICIENT_BUFFER, {}, 4},
               // Retired tags are unknown: the length is left alone.
               {TAG_IFD_POLLING_THREAD, 16, IFD_ERROR_TAG, {}, 16},
               {TAG_IFD_SLOTNUM, 16, IFD_ERROR_TAG, {}, 16}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    std::vector<UCHAR> value(16, 0xEE);
    DWORD length = c.room;
    EXPECT_EQ(IFDHGetCapabilities(kUnopened, c.tag, &length, value.data()), c.response);
    EXPECT_EQ(length, c.length);
    std::vector<UCHAR> expected = c.value;
    expected.resize(16, 0xEE);  // nothing written beyond the value
    EXPECT_EQ(value, expected);
  }
}

}  // namespace
}  // namespace tolvex::ifd
