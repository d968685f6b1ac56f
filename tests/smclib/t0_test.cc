// T=0: the application's APDUs as T=0 commands (cases 1 to 4, malformed ones refused), and the
// card's answers back to the application, whole or not at all.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "smclib/bytes.h"
#include "smclib/smclib.h"

namespace {

using tolvex::smclib_test::Bytes;
using tolvex::smclib_test::Concat;
using tolvex::smclib_test::Hex;
using tolvex::smclib_test::ToHex;

constexpr ULONG kBufferSize = 576;

Bytes Header(ULONG protocol, ULONG pci_length) {
  Bytes header(8);
  std::memcpy(header.data(), &protocol, 4);
  std::memcpy(header.data() + 4, &pci_length, 4);
  return header;
}

// A reader's extension whose buffers are exactly as large as they claim, so that any access
// past them is caught by the address sanitizer.
class T0Test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&extension_, 0, sizeof(extension_));
    extension_.SmartcardRequest.Buffer = request_.get();
    extension_.SmartcardRequest.BufferSize = kBufferSize;
    extension_.SmartcardReply.Buffer = reply_.get();
    extension_.SmartcardReply.BufferSize = kBufferSize;
    extension_.IoRequest.Information = &information_;
  }

  // The application's request in a buffer of exactly its size.
  void SetRequest(const Bytes& bytes) {
    application_ = std::make_unique<UCHAR[]>(bytes.size() + 1);
    if (!bytes.empty()) std::memcpy(application_.get(), bytes.data(), bytes.size());
    extension_.IoRequest.RequestBuffer = application_.get();
    extension_.IoRequest.RequestBufferLength = static_cast<ULONG>(bytes.size());
  }

  Bytes Command() const {
    return Bytes(request_.get(), request_.get() + extension_.SmartcardRequest.BufferLength);
  }

  // The card's answer, and an application reply buffer of `size` bytes filled with AA.
  void SetAnswer(const Bytes& answer, ULONG size) {
    if (!answer.empty()) std::memcpy(reply_.get(), answer.data(), answer.size());
    extension_.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
    out_ = std::make_unique<UCHAR[]>(size == 0 ? 1 : size);
    std::memset(out_.get(), 0xAA, size);
    out_size_ = size;
    extension_.IoRequest.ReplyBuffer = out_.get();
    extension_.IoRequest.ReplyBufferLength = size;
  }

  Bytes Out() const { return Bytes(out_.get(), out_.get() + out_size_); }

  SMARTCARD_EXTENSION extension_;
  std::unique_ptr<UCHAR[]> request_ = std::make_unique<UCHAR[]>(kBufferSize);
  std::unique_ptr<UCHAR[]> reply_ = std::make_unique<UCHAR[]>(kBufferSize);
  std::unique_ptr<UCHAR[]> application_;
  std::unique_ptr<UCHAR[]> out_;
  ULONG out_size_ = 0;
  ULONG_PTR information_ = 0;
};

struct CommandCase {
  const char* name;
  const char* apdu;
  const char* command;  // what goes to the card
  ULONG lc;
  ULONG le;
};

const CommandCase kCommands[] = {
    {"Case1", "00 A4 00 00", "00 A4 00 00 00", 0, 0},
    {"Case2", "00 B0 00 00 10", "00 B0 00 00 10", 0, 16},
    {"Case2Le256", "00 B0 00 00 00", "00 B0 00 00 00", 0, 256},
    {"Case3", "00 D6 00 00 03 01 02 03", "00 D6 00 00 03 01 02 03", 3, 0},
    {"Case4SentAsCase3", "00 A4 04 00 02 3F 00 10", "00 A4 04 00 02 3F 00", 2, 0},
    {"Case4Le256SentAsCase3", "00 A4 04 00 02 3F 00 00", "00 A4 04 00 02 3F 00", 2, 0},
    {"Case3Lc255",
     "80 E2 00 00 FF"
     " 000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
     " 202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F"
     " 404142434445464748494A4B4C4D4E4F505152535455565758595A5B5C5D5E5F"
     " 606162636465666768696A6B6C6D6E6F707172737475767778797A7B7C7D7E7F"
     " 808182838485868788898A8B8C8D8E8F909192939495969798999A9B9C9D9E9F"
     " A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF"
     " C0C1C2C3C4C5C6C7C8C9CACBCCCDCECFD0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"
     " E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7F8F9FAFBFCFDFE",
     nullptr, 255, 0},
};

class T0CommandTest : public T0Test, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(T0CommandTest, BecomesAT0Command) {
  const CommandCase& c = GetParam();
  SetRequest(Concat(Header(SCARD_PROTOCOL_T0, 8), Hex(c.apdu)));
  extension_.T0.Lc = 99;
  extension_.T0.Le = 99;
  ASSERT_EQ(SmartcardT0Request(&extension_), STATUS_SUCCESS);
  // Case 3 and 4 keep the APDU up to its data; case 1 gains P3 = 0.
  const Bytes expected = c.command != nullptr ? Hex(c.command) : Hex(c.apdu);
  EXPECT_EQ(ToHex(Command()), ToHex(expected));
  EXPECT_EQ(extension_.T0.Lc, c.lc);
  EXPECT_EQ(extension_.T0.Le, c.le);
}

INSTANTIATE_TEST_SUITE_P(Apdus, T0CommandTest, ::testing::ValuesIn(kCommands),
                         [](const ::testing::TestParamInfo<CommandCase>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(T0Test, ProtocolDataAfterTheHeaderIsSkipped) {
  // cbPciLength 12: four bytes of protocol data before the APDU.
  SetRequest(Concat(Header(SCARD_PROTOCOL_T0, 12), Hex("FF FF FF FF 00 B0 00 00 08")));
  ASSERT_EQ(SmartcardT0Request(&extension_), STATUS_SUCCESS);
  EXPECT_EQ(ToHex(Command()), "00 B0 00 00 08");
  EXPECT_EQ(extension_.T0.Le, 8u);
}

struct BadRequest {
  const char* name;
  Bytes request;
};

class T0BadRequestTest : public T0Test, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(T0BadRequestTest, IsRefusedAndNothingIsBuilt) {
  SetRequest(GetParam().request);
  std::memset(request_.get(), 0x55, kBufferSize);
  extension_.SmartcardRequest.BufferLength = 0;
  EXPECT_EQ(SmartcardT0Request(&extension_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(extension_.SmartcardRequest.BufferLength, 0u);
  EXPECT_EQ(request_[0], 0x55);
}

const BadRequest kBadRequests[] = {
    {"NoHeader", Hex("02 00 00 00 08 00")},
    {"OnlyTheHeader", Header(SCARD_PROTOCOL_T0, 8)},
    {"ThreeByteApdu", Concat(Header(SCARD_PROTOCOL_T0, 8), Hex("00 A4 00"))},
    {"PciLengthPastTheBuffer", Concat(Header(SCARD_PROTOCOL_T0, 100), Hex("00 A4 00 00"))},
    {"PciLengthHuge", Concat(Header(SCARD_PROTOCOL_T0, 0xFFFFFFFF), Hex("00 A4 00 00"))},
    {"PciLengthShorterThanTheHeader", Concat(Header(SCARD_PROTOCOL_T0, 4), Hex("00 A4 00 00"))},
    {"LcLongerThanTheData", Concat(Header(SCARD_PROTOCOL_T0, 8), Hex("00 D6 00 00 05 01 02"))},
    {"LcFarPastTheBuffer", Concat(Header(SCARD_PROTOCOL_T0, 8), Hex("00 D6 00 00 FF 01"))},
    {"TrailingJunk", Concat(Header(SCARD_PROTOCOL_T0, 8), Hex("00 D6 00 00 02 01 02 03 04"))},
    {"LcZero", Concat(Header(SCARD_PROTOCOL_T0, 8), Hex("00 B0 00 00 00 10"))},
    {"ExtendedCase2", Concat(Header(SCARD_PROTOCOL_T0, 8), Hex("00 B0 00 00 00 01 00"))},
    {"ExtendedCase3", Concat(Header(SCARD_PROTOCOL_T0, 8), Hex("00 D6 00 00 00 00 02 01 02"))},
};

INSTANTIATE_TEST_SUITE_P(Malformed, T0BadRequestTest, ::testing::ValuesIn(kBadRequests),
                         [](const ::testing::TestParamInfo<BadRequest>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(T0Test, NoRequestBuffer) {
  EXPECT_EQ(SmartcardT0Request(&extension_), STATUS_INVALID_PARAMETER);
}

TEST_F(T0Test, ACommandLargerThanTheLibrarysBufferIsRefused) {
  SetRequest(Concat(Header(SCARD_PROTOCOL_T0, 8), Hex("00 D6 00 00 03 01 02 03")));
  extension_.SmartcardRequest.BufferSize = 7;  // one short of the 8 bytes needed
  EXPECT_EQ(SmartcardT0Request(&extension_), STATUS_INVALID_DEVICE_STATE);
  extension_.SmartcardRequest.BufferSize = 8;
  EXPECT_EQ(SmartcardT0Request(&extension_), STATUS_SUCCESS);
}

TEST_F(T0Test, TheAnswerGoesBackBehindAT0Header) {
  const Bytes answer = Hex("01 02 03 04 90 00");
  SetAnswer(answer, 8 + 6);
  ASSERT_EQ(SmartcardT0Reply(&extension_), STATUS_SUCCESS);
  EXPECT_EQ(ToHex(Out()), ToHex(Concat(Header(SCARD_PROTOCOL_T0, 8), answer)));
  EXPECT_EQ(information_, 14u);
}

TEST_F(T0Test, AStatusWordAloneIsAnAnswer) {
  SetAnswer(Hex("6A 82"), 64);
  ASSERT_EQ(SmartcardT0Reply(&extension_), STATUS_SUCCESS);
  EXPECT_EQ(information_, 10u);
  EXPECT_EQ(ToHex(Bytes(out_.get() + 8, out_.get() + 10)), "6A 82");
  EXPECT_EQ(out_[10], 0xAA);  // nothing past the answer
}

TEST_F(T0Test, AnAnswerTooLargeForTheApplicationLeavesItsBufferUntouched) {
  Bytes answer(256, 0x5A);
  answer.push_back(0x90);
  answer.push_back(0x00);
  for (ULONG size : {0u, 7u, 8u, 9u, 8u + 257u}) {
    SetAnswer(answer, size);
    information_ = 0;
    EXPECT_EQ(SmartcardT0Reply(&extension_), STATUS_BUFFER_TOO_SMALL) << size;
    EXPECT_EQ(Out(), Bytes(size, 0xAA)) << size;
    EXPECT_EQ(information_, 0u);
  }
  SetAnswer(answer, 8 + 258);
  EXPECT_EQ(SmartcardT0Reply(&extension_), STATUS_SUCCESS);
  EXPECT_EQ(information_, 8u + 258u);
}

TEST_F(T0Test, AnAnswerWithoutStatusWordIsAProtocolError) {
  for (const Bytes& answer : {Bytes{}, Hex("90")}) {
    SetAnswer(answer, 64);
    EXPECT_EQ(SmartcardT0Reply(&extension_), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(Out(), Bytes(64, 0xAA));
  }
}

TEST_F(T0Test, AReplyLengthBeyondTheLibrarysBufferIsNotRead) {
  SetAnswer(Hex("90 00"), 2000);
  extension_.SmartcardReply.BufferLength = kBufferSize + 1;
  EXPECT_EQ(SmartcardT0Reply(&extension_), STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
