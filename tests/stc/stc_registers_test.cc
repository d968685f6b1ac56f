// Controller register programming: the exact frames each operation puts on the wire, what it
// makes of the reader's answers, and the delays it asks for.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "driver/stc/stc.h"
#include "support/link_bench.h"
#include "support/stc_wire.h"

namespace {

using tolvex::testutil::Program;
using tolvex::testutil::Wire;
using Operation = std::function<NTSTATUS(PREADER_EXTENSION)>;

struct RegisterCase {
  const char* name;
  Operation operation;
  const char* script;  // the reader's answers
  const char* frames;
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<ULONG> delays = {};
  friend void PrintTo(const RegisterCase& c, std::ostream* os) { *os << c.name; }
};

class StcRegisters : public ::testing::TestWithParam<RegisterCase> {};

TEST_P(StcRegisters, SendsItsFramesAndJudgesTheAnswers) {
  const RegisterCase& c = GetParam();
  tolvex::host::LinkBench bench;
  tolvex::platform::PlatformScope scope(bench.platform());
  ASSERT_EQ(bench.Start(), STATUS_SUCCESS);
  Program(bench.script(), c.script);
  bench.platform().clock().StartRecording();
  EXPECT_EQ(c.operation(bench.reader()), c.status);
  EXPECT_EQ(bench.script().frames(), Wire(c.frames));
  EXPECT_EQ(bench.platform().clock().DelaysMs(std::this_thread::get_id()), c.delays);
}

Operation Guard(ULONG time) {
  return [time](PREADER_EXTENSION r) { return STCSetCGT(r, time); };
}
Operation Retries(UCHAR count) {
  return [count](PREADER_EXTENSION r) { return STCInitRetries(r, count); };
}
Operation Uart(BOOLEAN mode) {
  return [mode](PREADER_EXTENSION r) { return STCInitUART(r, mode); };
}

// Registers 1 and 2 read 55 and 6F; every write acknowledged.
constexpr const char* kAnswers = "C1 >> 55, C2 >> 6F, * > 90";

INSTANTIATE_TEST_SUITE_P(
    Operations, StcRegisters,
    ::testing::Values(
        RegisterCase{"StartUpTable", STCConfigureSTC, kAnswers, "88 00, 82 4F"},
        RegisterCase{"CloseTable", STCCloseSTC, kAnswers, "84 00, 82 00"},
        // A table stops at its first refused row, without retry.
        RegisterCase{"TableRowRefused", STCConfigureSTC, "88 00 > 90, 82 4F > 84", "88 00, 82 4F",
                     STATUS_DATA_ERROR},
        // The guard time's nine bits: the low eight to register 1, bit 8 to bit 7 of register 2.
        RegisterCase{"Guard510", Guard(510), kAnswers, "C1, C2, 81 FE, 82 EF"},
        RegisterCase{"Guard256", Guard(256), kAnswers, "C1, C2, 81 00, 82 EF"},
        RegisterCase{"Guard13", Guard(13), "C1 >> 55, C2 >> EF, * > 90", "C1, C2, 81 0D, 82 6F"},
        RegisterCase{"Guard267", Guard(267), "C1 >> 55, C2 >> 6C, * > 90", "C1, C2, 81 0B, 82 EC"},
        RegisterCase{"Guard0", Guard(0), "C1 >> 55, C2 >> 4F, * > 90", "C1, C2, 81 00, 82 4F"},
        RegisterCase{"Guard511Refused", Guard(511), kAnswers, "", STATUS_DATA_ERROR},
        RegisterCase{"GuardFFFFFFFFRefused", Guard(0xFFFFFFFF), kAnswers, "", STATUS_DATA_ERROR},
        RegisterCase{"GuardWithRegister1Unread", Guard(13), "", "C1", STATUS_IO_TIMEOUT},
        // An unread register 2 is taken as the UART mode 6F.
        RegisterCase{"GuardWithRegister2Unread", Guard(300), "C1 > 0D, 81 2C > 90, 82 EF > 90",
                     "C1, C2, 81 2C, 82 EF"},
        // Waiting times: three bytes, least significant first; the top byte is not sent.
        RegisterCase{"CharacterWaitingTime", [](auto r) { return STCSetCWT(r, 9600); }, kAnswers,
                     "85 80 25 00"},
        RegisterCase{"BlockWaitingTime", [](auto r) { return STCSetBWT(r, 0x01020304); }, kAnswers,
                     "86 04 03 02"},
        // Retries replace the low two bits of the mode register.
        RegisterCase{"Retries0", Retries(0), kAnswers, "C2, 82 6C"},
        RegisterCase{"Retries3", Retries(3), "C2 >> 4C, * > 90", "C2, 82 4F"},
        RegisterCase{"RetriesWithRegister2Unread", Retries(0), "82 6C > 90", "C2, 82 6C"},
        RegisterCase{"UartSetUp", Uart(TRUE), "C1 >> 0D, C2 >> 6F, * > 90",
                     "82 6F, C1, C2, 81 0D, 82 6F, 85 80 25 00, C2, 82 6C"},
        RegisterCase{"UartSetUpOtherMode", Uart(FALSE), "C1 >> 0D, C2 >> 67, * > 90",
                     "82 67, C1, C2, 81 0D, 82 67, 85 80 25 00, C2, 82 64"},
        RegisterCase{"UartSetUpRefused", Uart(TRUE), "82 6F > 88", "82 6F", STATUS_DATA_ERROR},
        // The power-off waits 200 ms, answered or not.
        RegisterCase{"PowerOff", STCPowerOff, kAnswers, "84 00", STATUS_SUCCESS, {200}},
        RegisterCase{"PowerOffUnanswered", STCPowerOff, "", "84 00", STATUS_IO_TIMEOUT, {200}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
