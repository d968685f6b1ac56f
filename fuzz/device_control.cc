// Applications' control requests (SmartcardDeviceControl and the driver's callbacks behind it)
// through the host, to the driver on a simulated reader, the pauses skipped.
//
// Input: the card in the reader (none, or a model), then up to 24 steps: a card pulled or put
// in, or a control request: its code (four bytes, low first; device_control.dict has the codes,
// power actions, protocol masks and attribute tags), its input bytes and its output length.
//
// Checked: only a card wait stays pending (and a cancelled one ends); a request ends in success
// or an error, never a warning; a success returns no more than its output buffer holds, a
// failure nothing; once the drivers are unloaded, no memory is left allocated.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "host/host.h"
#include "input.h"
#include "platform/winsmcrd.h"
#include "sim/reader_sim.h"

namespace {

using tolvex::fuzz::Check;
using tolvex::fuzz::Input;

constexpr const char* kModels[] = {"t0", "t0-null", "t0-bytewise", "t1", "t1-crc", "dual"};
constexpr std::size_t kModelCount = sizeof(kModels) / sizeof(kModels[0]);
constexpr tolvex::host::Status kPending = 0x102;  // still in flight

// One request; a card wait still pending after a moment is cancelled.
void Send(tolvex::host::Handle& handle, Input& in) {
  const std::uint32_t code = in.Long();
  const std::vector<std::uint8_t> input = in.Bytes(in.Byte());
  const std::size_t output_size = in.Below(600);
  auto request = handle.Start(code, input, output_size);
  Check(request != nullptr, "the request is built");
  const bool wait = code == IOCTL_SMARTCARD_IS_PRESENT || code == IOCTL_SMARTCARD_IS_ABSENT;
  tolvex::host::Status status = request->Wait(std::chrono::milliseconds(wait ? 5 : 20'000));
  if (status == kPending) {
    Check(wait, "only card waits stay pending");
    request->Cancel();
    status = request->Wait(std::chrono::milliseconds(20'000));
    Check(status != kPending, "a cancelled wait ends");
  }
  if (static_cast<std::int32_t>(status) >= 0) {
    Check(status == 0, "no warnings: a success or an error");
    Check(request->output().size() <= output_size, "a success fits its output buffer");
  } else {
    Check(request->output().empty(), "a failure returns nothing");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  tolvex::host::Host host({.skip_delays = true});
  tolvex::sim::ReaderSim& sim = host.AddSimulatedPort(0);
  const std::uint8_t card = in.Byte();
  if (card % 8 < kModelCount) Check(sim.InsertCard(kModels[card % 8], /*report=*/false));
  // The reader's start-up waits for its answers in real time: on a machine too busy for them
  // it may find no reader. Not the input's doing: the run goes on with the next input.
  const tolvex::host::Status started = host.Start();
  auto [opened, handle] =
      started == 0 ? host.OpenDevice(host.ReaderName(0))
                   : tolvex::host::Result<std::unique_ptr<tolvex::host::Handle>>{started, nullptr};
  if (handle == nullptr) {
    std::fprintf(stderr, "no reader to open (0x%08X): skipped\n", static_cast<unsigned>(opened));
    Check(host.Stop().empty(), "no memory is left allocated");
    return 0;
  }
  for (int step = 0; step < 24 && !in.empty(); ++step) {
    const std::uint8_t what = in.Byte();
    if (what < 0xF0) {
      Send(*handle, in);
    } else if (sim.card_present()) {
      sim.RemoveCard();
    } else {
      (void)sim.InsertCard(kModels[what % kModelCount]);
    }
  }
  handle.reset();
  Check(host.Stop().empty(), "no memory is left allocated");
  return 0;
}
