// SmartcardDeviceControl: what the driver's callbacks see of the request being served.
#include <gtest/gtest.h>

#include <vector>

#include "smclib/bytes.h"
#include "smclib/smclib.h"
#include "support/test_driver.h"

namespace {

using tolvex::smclib_test::Bytes;
using tolvex::smclib_test::Request;
using tolvex::smclib_test::ToHex;
using DeviceControlTest = tolvex::testing::TestDriverTest;

PIRP g_served = nullptr;  // OsData->CurrentIrp as the last callback saw it

// The driver's answer to any request: a mark in the reply buffer it was pointed at.
NTSTATUS Answer(PSMARTCARD_EXTENSION extension) {
  g_served = extension->OsData->CurrentIrp;
  const auto& io = extension->IoRequest;
  if (io.ReplyBuffer == nullptr) return STATUS_INVALID_PARAMETER;
  io.ReplyBuffer[0] = 0xC0;
  *io.Information = 1;
  return STATUS_SUCCESS;
}

TEST_F(DeviceControlTest, CallbacksAnswerIntoTheServedRequestsOwnBuffer) {
  SMARTCARD_EXTENSION extension{};
  ASSERT_EQ(SmartcardInitialize(&extension), STATUS_SUCCESS);
  extension.ReaderFunction[RDF_SET_PROTOCOL] = extension.ReaderFunction[RDF_TRANSMIT] = Answer;
  extension.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  extension.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  PDEVICE_OBJECT device = AddDevice(
      nullptr, [&](PDEVICE_OBJECT, PIRP irp) { return SmartcardDeviceControl(&extension, irp); });
  const struct {
    ULONG code;
    Bytes input;
    NTSTATUS status;
    const char* reply;
  } cases[] = {
      {IOCTL_SMARTCARD_SET_PROTOCOL, {SCARD_PROTOCOL_T1, 0, 0, 0}, STATUS_SUCCESS, "C0"},
      {IOCTL_SMARTCARD_TRANSMIT, Request(SCARD_PROTOCOL_T1, "00 A4 04 00", 4),
       STATUS_INVALID_PARAMETER, ""},  // a header shorter than itself
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToHex(c.input.data(), c.input.size()));
    extension.IoRequest = {};  // nothing left over from the request before
    g_served = nullptr;
    Bytes input = c.input;
    Bytes output(16, 0xEE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(c.code, device, input.data(), input.size(),
                                             output.data(), output.size(), FALSE, nullptr, &iosb);
    EXPECT_EQ(IofCallDriver(device, irp), c.status);
    EXPECT_EQ(ToHex(output.data(), iosb.Information), c.reply);
    EXPECT_EQ(g_served, c.status == STATUS_SUCCESS ? irp : nullptr);
  }
  SmartcardExit(&extension);
}

}  // namespace
