// SmartcardDeviceControl: what the driver's callbacks see of the request being served.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smclib/bytes.h"
#include "smclib/smclib.h"
#include "support/test_driver.h"

namespace {

using tolvex::smclib_test::Bytes;
using tolvex::smclib_test::Request;
using tolvex::smclib_test::ToHex;
using tolvex::testing::TestDriverTest;

PIRP g_served = nullptr;  // OsData->CurrentIrp as the last callback saw it

// The driver's answer to any request: a mark in the reply buffer it was pointed at.
NTSTATUS Answer(PSMARTCARD_EXTENSION extension) {
  g_served = extension->OsData->CurrentIrp;
  const auto& io = extension->IoRequest;
  if (io.ReplyBuffer == nullptr || io.ReplyBufferLength < 2 || io.Information == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  io.ReplyBuffer[0] = 0xC0;
  io.ReplyBuffer[1] = 0xDE;
  *io.Information = 2;
  return STATUS_SUCCESS;
}

class DeviceControlTest : public TestDriverTest {
 protected:
  void SetUp() override {
    TestDriverTest::SetUp();
    ASSERT_EQ(SmartcardInitialize(&extension_), STATUS_SUCCESS);
    extension_.ReaderFunction[RDF_SET_PROTOCOL] = Answer;
    extension_.ReaderFunction[RDF_TRANSMIT] = Answer;
    extension_.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    extension_.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    device_ = AddDevice(nullptr, [this](PDEVICE_OBJECT, PIRP irp) {
      return SmartcardDeviceControl(&extension_, irp);
    });
  }
  void TearDown() override {
    SmartcardExit(&extension_);
    TestDriverTest::TearDown();
  }

  SMARTCARD_EXTENSION extension_{};
  PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(DeviceControlTest, CallbacksAnswerIntoTheServedRequestsOwnBuffer) {
  const struct {
    ULONG code;
    Bytes input;
    NTSTATUS status;
    const char* reply;
  } cases[] = {
      {IOCTL_SMARTCARD_SET_PROTOCOL, {SCARD_PROTOCOL_T1, 0, 0, 0}, STATUS_SUCCESS, "C0 DE"},
      {IOCTL_SMARTCARD_TRANSMIT, Request(SCARD_PROTOCOL_T1, "00 A4 04 00", 4),
       STATUS_INVALID_PARAMETER, ""},  // a header shorter than itself
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToHex(c.input.data(), c.input.size()));
    extension_.IoRequest = {};  // nothing left over from the request before
    g_served = nullptr;
    Bytes input = c.input;
    Bytes output(16, 0xEE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(c.code, device_, input.data(), input.size(),
                                             output.data(), output.size(), FALSE, nullptr, &iosb);
    EXPECT_EQ(IofCallDriver(device_, irp), c.status);
    EXPECT_EQ(ToHex(output.data(), iosb.Information), c.reply);
    EXPECT_EQ(g_served, c.status == STATUS_SUCCESS ? irp : nullptr);
  }
}

}  // namespace
