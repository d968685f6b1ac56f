// T=0: the application's APDUs as T=0 commands (cases 2 and 4 run in the card tests): the
// header's length, the library's room, malformed ones refused. The buffers are exactly as large
// as they claim, so that the address sanitizer catches any access past them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "smclib/bytes.h"
#include "smclib/smclib.h"

namespace {

using namespace tolvex::smclib_test;

constexpr ULONG kBufferSize = 576;
constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kRefused = STATUS_INVALID_PARAMETER;

TEST(T0, ApduBecomesAT0CommandOrNothing) {
  const struct {
    const char* apdu;     // after the header
    const char* command;  // what goes to the card; "" when refused
    NTSTATUS status;
    ULONG lc = 0, le = 0;
    ULONG pci = 8;  // the header's cbPciLength; 0: no header, `apdu` is the whole request
    ULONG library_buffer = kBufferSize;  // SmartcardRequest's size
  } kCases[] = {
      {"FF FF FF FF 00 B0 00 00 08", "00 B0 00 00 08", kOk, 0, 8, 12},
      {"00 A4 00 00", "00 A4 00 00 00", kOk},  // case 1: P3 0
      {"00 D6 00 00 03 01 02 03", "00 D6 00 00 03 01 02 03", kOk, 3, 0, 8, 8},
      {"00 D6 00 00 03 01 02 03", "", STATUS_INVALID_DEVICE_STATE, 0, 0, 8, 7},
      {"02 00 00 00 08 00", "", kRefused, 0, 0, 0},
      {"00 A4 00", "", kRefused},
      {"00 A4 00 00", "", kRefused, 0, 0, 100},
      {"00 A4 00 00", "", kRefused, 0, 0, 4},
      {"00 D6 00 00 05 01 02", "", kRefused},
      {"00 D6 00 00 02 01 02 03 04", "", kRefused},
      {"00 D6 00 00 00 00 02 01 02", "", kRefused},  // extended length
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.apdu);
    const Bytes request = Request(SCARD_PROTOCOL_T0, c.apdu, c.pci);
    auto application = std::make_unique<UCHAR[]>(request.size() + 1);
    std::copy(request.begin(), request.end(), application.get());
    auto library = std::make_unique<UCHAR[]>(c.library_buffer);
    std::fill_n(library.get(), c.library_buffer, 0x55);
    SMARTCARD_EXTENSION extension{};
    extension.IoRequest.RequestBuffer = application.get();
    extension.IoRequest.RequestBufferLength = static_cast<ULONG>(request.size());
    extension.SmartcardRequest = {library.get(), c.library_buffer, 0};
    extension.T0.Lc = extension.T0.Le = 99;

    ASSERT_EQ(SmartcardT0Request(&extension), c.status);
    EXPECT_EQ(ToHex(library.get(), extension.SmartcardRequest.BufferLength), c.command);
    if (c.status != kOk) {
      EXPECT_EQ(library[0], 0x55);
      continue;
    }
    EXPECT_EQ(extension.T0.Lc, c.lc);
    EXPECT_EQ(extension.T0.Le, c.le);
  }
  EXPECT_EQ(SmartcardT0Request(nullptr), kRefused);
  SMARTCARD_EXTENSION no_request{};
  EXPECT_EQ(SmartcardT0Request(&no_request), kRefused);
}

}  // namespace
