// T=0: the application's APDUs as T=0 commands (cases 1 to 4, malformed ones refused), and the
// card's answers back to the application, whole or not at all. The buffers are exactly as large
// as they claim, so that the address sanitizer catches any access past them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "smclib/bytes.h"
#include "smclib/smclib.h"

namespace {

using tolvex::smclib_test::Bytes;
using tolvex::smclib_test::Hex;
using tolvex::smclib_test::Request;
using tolvex::smclib_test::ToHex;

constexpr ULONG kBufferSize = 576;
constexpr NTSTATUS kRefused = STATUS_INVALID_PARAMETER;

struct CommandCase {
  const char* name;
  const char* apdu;     // after the header
  const char* command;  // what goes to the card; nullptr when refused
  NTSTATUS status;
  ULONG lc = 0, le = 0;
  ULONG pci = 8;  // the header's cbPciLength; 0: no header, `apdu` is the whole request
  ULONG library_buffer = kBufferSize;  // SmartcardRequest's size
};

constexpr NTSTATUS kOk = STATUS_SUCCESS;
const CommandCase kCommands[] = {
    {"Case1GainsP3", "00 A4 00 00", "00 A4 00 00 00", kOk},
    {"Case2", "00 B0 00 00 10", "00 B0 00 00 10", kOk, 0, 16},
    {"Case2Le00Is256", "00 B0 00 00 00", "00 B0 00 00 00", kOk, 0, 256},
    {"Case3", "00 D6 00 00 03 01 02 03", "00 D6 00 00 03 01 02 03", kOk, 3},
    {"Case4SentAsCase3", "00 A4 04 00 02 3F 00 10", "00 A4 04 00 02 3F 00", kOk, 2},
    {"ProtocolDataAfterTheHeaderSkipped", "FF FF FF FF 00 B0 00 00 08", "00 B0 00 00 08", kOk, 0, 8,
     12},
    {"CommandFillsTheLibrarysBuffer", "00 D6 00 00 03 01 02 03", "00 D6 00 00 03 01 02 03", kOk, 3,
     0, 8, 8},
    {"CommandOneByteOverTheLibrarysBuffer", "00 D6 00 00 03 01 02 03", nullptr,
     STATUS_INVALID_DEVICE_STATE, 0, 0, 8, 7},
    {"NoHeader", "02 00 00 00 08 00", nullptr, kRefused, 0, 0, 0},
    {"OnlyTheHeader", "", nullptr, kRefused},
    {"ThreeByteApdu", "00 A4 00", nullptr, kRefused},
    {"PciLengthPastTheRequest", "00 A4 00 00", nullptr, kRefused, 0, 0, 100},
    {"PciLengthHuge", "00 A4 00 00", nullptr, kRefused, 0, 0, 0xFFFFFFFF},
    {"PciLengthShorterThanTheHeader", "00 A4 00 00", nullptr, kRefused, 0, 0, 4},
    {"LcLongerThanTheData", "00 D6 00 00 05 01 02", nullptr, kRefused},
    {"TrailingJunk", "00 D6 00 00 02 01 02 03 04", nullptr, kRefused},
    {"ExtendedLength", "00 D6 00 00 00 00 02 01 02", nullptr, kRefused},
};

class T0CommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(T0CommandTest, BecomesAT0CommandOrNothing) {
  const CommandCase& c = GetParam();
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
  const ULONG length = extension.SmartcardRequest.BufferLength;
  EXPECT_EQ(ToHex(library.get(), length), c.command != nullptr ? c.command : "");
  if (c.command == nullptr) {
    EXPECT_EQ(library[0], 0x55);
    return;
  }
  EXPECT_EQ(extension.T0.Lc, c.lc);
  EXPECT_EQ(extension.T0.Le, c.le);
}

INSTANTIATE_TEST_SUITE_P(Apdus, T0CommandTest, ::testing::ValuesIn(kCommands),
                         [](const auto& param) { return std::string(param.param.name); });

struct ReplyCase {
  const char* name;
  const char* answer;  // the card's data and SW1 SW2, in SmartcardReply
  ULONG size;          // of the application's reply buffer
  NTSTATUS status = STATUS_SUCCESS;
  ULONG claimed = 0;  // SmartcardReply.BufferLength when not the answer's length
};

const ReplyCase kReplies[] = {
    {"AnswerFillsTheBuffer", "01 02 03 04 90 00", 14},
    {"StatusWordAloneInALargerBuffer", "6A 82", 64},
    {"NoRoomForTheHeader", "01 02 03 04 90 00", 7, STATUS_BUFFER_TOO_SMALL},
    {"RoomForTheHeaderOnly", "01 02 03 04 90 00", 8, STATUS_BUFFER_TOO_SMALL},
    {"OneByteShort", "01 02 03 04 90 00", 13, STATUS_BUFFER_TOO_SMALL},
    {"NoBuffer", "90 00", 0, STATUS_BUFFER_TOO_SMALL},
    {"NoAnswer", "", 64, STATUS_DEVICE_PROTOCOL_ERROR},
    {"NoSw2", "90", 64, STATUS_DEVICE_PROTOCOL_ERROR},
    {"LengthBeyondTheLibrarysBuffer", "90 00", 64, STATUS_INVALID_DEVICE_STATE, kBufferSize + 1},
};

class T0ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(T0ReplyTest, GoesBackWholeBehindAT0HeaderOrNotAtAll) {
  const ReplyCase& c = GetParam();
  const Bytes answer = Hex(c.answer);
  auto library = std::make_unique<UCHAR[]>(kBufferSize);
  std::copy(answer.begin(), answer.end(), library.get());
  auto out = std::make_unique<UCHAR[]>(c.size + 1);
  std::fill_n(out.get(), c.size, 0xAA);
  ULONG_PTR information = 99;
  SMARTCARD_EXTENSION extension{};
  extension.SmartcardReply = {library.get(), kBufferSize,
                              c.claimed != 0 ? c.claimed : static_cast<ULONG>(answer.size())};
  extension.IoRequest.ReplyBuffer = out.get();
  extension.IoRequest.ReplyBufferLength = c.size;
  extension.IoRequest.Information = &information;

  ASSERT_EQ(SmartcardT0Reply(&extension), c.status);
  Bytes expected(c.size, 0xAA);
  if (c.status == STATUS_SUCCESS) {
    const Bytes reply = Request(SCARD_PROTOCOL_T0, c.answer);
    std::copy(reply.begin(), reply.end(), expected.begin());
    EXPECT_EQ(information, reply.size());
  } else {
    EXPECT_EQ(information, 99u);
  }
  EXPECT_EQ(ToHex(out.get(), c.size), ToHex(expected.data(), expected.size()));
}

INSTANTIATE_TEST_SUITE_P(Answers, T0ReplyTest, ::testing::ValuesIn(kReplies),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(T0, NoRequestOrNoExtensionIsRefused) {
  SMARTCARD_EXTENSION extension{};
  EXPECT_EQ(SmartcardT0Request(&extension), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SmartcardT0Request(nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
