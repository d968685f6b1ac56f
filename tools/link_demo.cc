// tolvex-link-demo: brings up the reader link on an in-memory serial line with a scripted
// reader on the far end, and prints the exchange: the port's set-up, the firmware revision,
// the start-up register table, a presence read, a card insertion reported by the reader, and
// a data frame to the card with the card's answer.
#include <cstdio>
#include <string>
#include <thread>

#include "driver/card/card.h"
#include "host/link_bench.h"

namespace {

using tolvex::host::LinkBench;

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char part[4];
  for (uint8_t b : bytes) {
    std::snprintf(part, sizeof(part), "%s%02X", text.empty() ? "" : " ", b);
    text += part;
  }
  return text;
}

const char* Name(NTSTATUS status) {
  const char* name = NtStatusName(status);
  return name != nullptr ? name : "?";
}

void Report(const char* what, NTSTATUS status) {
  std::printf("  %-34s 0x%08X %s\n", what, static_cast<unsigned>(status), Name(status));
}

}  // namespace

int main() {
  LinkBench bench(LinkBench::Options{.port_index = 0, .skip_delays = false});
  tolvex::platform::PlatformScope scope(bench.platform());
  auto& script = bench.script();
  script.Always({0xC0}, {0x21});                          // revision register: firmware 2.1
  script.Always({0x88, 0x00}, {0x90});                    // register 8
  script.Always({0x82, 0x4F}, {0x90});                    // mode register
  script.Always({0xC4}, {0x00});                          // power and status register: no card yet
  script.Always({0x42, 0x00, 0xCA}, {0x90, 0x6D, 0x00});  // data to the card, its answer

  std::printf("tolvex link demo: scripted reader on an in-memory serial line\n\n");
  std::printf("serial set-up (%s):\n", "eight requests, 25 ms apart, then 450 ms");
  NTSTATUS status = bench.Start();
  Report("IFInitializeInterface", status);
  if (status != STATUS_SUCCESS) return 1;

  PREADER_EXTENSION reader = bench.reader();
  std::printf("\nreader commands:\n");
  status = IFGetFirmwareRevision(reader);
  Report("IFGetFirmwareRevision", status);
  std::printf("  %-34s %u.%u\n", "firmware", reader->FirmwareMajor, reader->FirmwareMinor);
  const UCHAR zero = 0x00, mode = 0x4F;
  Report("write register 8 = 00", IFWriteSTCRegister(reader, 8, 1, &zero));
  Report("write register 2 = 4F", IFWriteSTCRegister(reader, 2, 1, &mode));
  CBUpdateCardState(bench.smartcard(), 0);
  std::printf("  %-34s %u (1 = absent)\n", "card state after presence read",
              bench.smartcard()->ReaderCapabilities.CurrentState);

  std::printf("\nthe reader reports a card insertion (10 85):\n");
  bench.line().Send({0x10, 0x85});
  for (int i = 0; i < 100 && bench.smartcard()->ReaderCapabilities.CurrentState != 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf("  %-34s %u (2 = present)\n", "card state",
              bench.smartcard()->ReaderCapabilities.CurrentState);

  std::printf("\na data frame to the card:\n");
  const UCHAR command[] = {0x00, 0xCA};
  Report("IFWriteSTCData 00 CA", IFWriteSTCData(reader, command, 2));
  UCHAR answer[2];
  ULONG length = sizeof(answer);
  Report("IFReadSTCData 2 bytes", IFReadSTCData(reader, answer, &length, 2));
  std::printf("  %-34s %s\n", "card answered", Hex({answer, answer + length}).c_str());

  std::printf("\nframes the host wrote:\n");
  for (const auto& frame : script.frames()) std::printf("  %s\n", Hex(frame).c_str());
  std::printf("\nserial requests the port received: %zu\n", bench.port().Requests().size());
  return 0;
}
