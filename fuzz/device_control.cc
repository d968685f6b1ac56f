// Applications' control requests (SmartcardDeviceControl and the driver's callbacks behind it)
// through the host, to the driver on a simulated reader, the pauses skipped.
//
// The input chooses the card in the reader (none, or a model), then up to 24 steps: a card
// pulled or put in, or a control request: its code (every IOCTL_SMARTCARD_* request, the
// reader's versions request, other vendor codes, any code), its input (a leading number the
// request understands, such as a power action, a protocol mask or an attribute tag, then any
// bytes; or bytes alone) and its output length. A card wait that stays pending is cancelled.
//
// Checked: no request stays pending but the card waits; the platform's verifier stops the run
// on information beyond the output buffer, and the sanitizer on a write outside a buffer; a
// success returns what its request promises within a buffer large enough for it (the 4-byte
// numbers, an ATR, a response with its header and status word, one protocol of those
// offered); a failure returns nothing; and once the handle is closed and the drivers
// unloaded, no memory is left allocated.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/frame/frame.h"
#include "host/host.h"
#include "input.h"
#include "platform/winsmcrd.h"
#include "sim/reader_sim.h"

namespace {

using tolvex::fuzz::Check;
using tolvex::fuzz::Input;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kModels[] = {"t0", "t0-null", "t0-bytewise", "t1", "t1-crc", "dual"};
constexpr std::size_t kModelCount = sizeof(kModels) / sizeof(kModels[0]);

constexpr std::uint32_t kCodes[] = {
    IOCTL_SMARTCARD_POWER,        IOCTL_SMARTCARD_GET_ATTRIBUTE, IOCTL_SMARTCARD_SET_ATTRIBUTE,
    IOCTL_SMARTCARD_CONFISCATE,   IOCTL_SMARTCARD_TRANSMIT,      IOCTL_SMARTCARD_EJECT,
    IOCTL_SMARTCARD_SWALLOW,      IOCTL_SMARTCARD_IS_PRESENT,    IOCTL_SMARTCARD_IS_ABSENT,
    IOCTL_SMARTCARD_SET_PROTOCOL, IOCTL_SMARTCARD_GET_STATE,     IOCTL_SMARTCARD_GET_LAST_ERROR,
    IOCTL_READER_GET_VERSIONS,    SCARD_CTL_CODE(2049),          SCARD_CTL_CODE(13),
};
constexpr std::size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);

// Leading numbers worth trying: power actions, protocol masks, attribute tags.
constexpr std::uint32_t kNumbers[] = {
    SCARD_POWER_DOWN,
    SCARD_COLD_RESET,
    SCARD_WARM_RESET,
    3,
    SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
    SCARD_PROTOCOL_RAW,
    0x80000000,
    SCARD_ATTR_VENDOR_NAME,
    SCARD_ATTR_VENDOR_IFD_TYPE,
    SCARD_ATTR_VENDOR_IFD_VERSION,
    SCARD_ATTR_VENDOR_IFD_SERIAL_NO,
    SCARD_ATTR_CHANNEL_ID,
    SCARD_ATTR_PROTOCOL_TYPES,
    SCARD_ATTR_DEFAULT_CLK,
    SCARD_ATTR_MAX_CLK,
    SCARD_ATTR_DEFAULT_DATA_RATE,
    SCARD_ATTR_MAX_DATA_RATE,
    SCARD_ATTR_MAX_IFSD,
    SCARD_ATTR_POWER_MGMT_SUPPORT,
    SCARD_ATTR_CHARACTERISTICS,
    SCARD_ATTR_CURRENT_PROTOCOL_TYPE,
    SCARD_ATTR_CURRENT_CLK,
    SCARD_ATTR_CURRENT_F,
    SCARD_ATTR_CURRENT_D,
    SCARD_ATTR_CURRENT_N,
    SCARD_ATTR_CURRENT_IFSC,
    SCARD_ATTR_CURRENT_IFSD,
    SCARD_ATTR_ICC_PRESENCE,
    SCARD_ATTR_ICC_INTERFACE_STATUS,
    SCARD_ATTR_ATR_STRING,
    SCARD_ATTR_DEVICE_UNIT,
    SCARD_ATTR_DEVICE_IN_USE,
    SCARD_ATTR_CARD_STATE,
};
constexpr std::size_t kNumberCount = sizeof(kNumbers) / sizeof(kNumbers[0]);

std::uint32_t Number(const Bytes& input) {
  std::uint32_t value = 0;
  std::memcpy(&value, input.data(), sizeof(value));
  return value;
}

// What a successful request must have returned.
void CheckSuccess(std::uint32_t code, const Bytes& input, std::size_t output_size,
                  const Bytes& output) {
  Check(output.size() <= output_size);
  switch (code) {
    case IOCTL_SMARTCARD_GET_STATE:
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
      Check(output.size() == 4);
      if (code == IOCTL_SMARTCARD_GET_STATE) Check(Number(output) <= SCARD_SPECIFIC);
      break;
    case IOCTL_SMARTCARD_SET_PROTOCOL: {
      Check(input.size() >= 4 && output.size() == 4);
      const std::uint32_t chosen = Number(output);
      Check((chosen == SCARD_PROTOCOL_T0 || chosen == SCARD_PROTOCOL_T1) &&
            (chosen & Number(input)) != 0);
      break;
    }
    case IOCTL_SMARTCARD_POWER:
      Check(input.size() >= 4);
      if (Number(input) == SCARD_POWER_DOWN) break;
      Check(output.size() >= 2 && output.size() <= 33);  // the ATR: TS T0 at least
      break;
    case IOCTL_SMARTCARD_TRANSMIT: {
      Check(input.size() >= 8 && output.size() >= 8 + 2);
      std::uint32_t protocol = 0;
      std::memcpy(&protocol, output.data(), 4);
      Check(protocol == Number(input));
      break;
    }
    case IOCTL_SMARTCARD_IS_PRESENT:
    case IOCTL_SMARTCARD_IS_ABSENT:
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
      Check(output.empty());
      break;
    default:
      break;
  }
}

// One request; a card wait still pending after a moment is cancelled.
void Send(tolvex::host::Handle& handle, Input& in) {
  const std::uint8_t choice = in.Byte();
  const std::uint32_t code = choice < 0xF0 ? kCodes[choice % kCodeCount] : in.Long();
  const std::uint8_t shape = in.Byte();
  Bytes input;
  if ((shape & 0x80) == 0) {
    const std::uint32_t number = kNumbers[shape % kNumberCount];
    input.resize(4);
    std::memcpy(input.data(), &number, 4);
  }
  const Bytes rest = in.Bytes(in.Byte() % 64);
  input.insert(input.end(), rest.begin(), rest.end());
  if ((shape & 0x40) != 0 && !input.empty()) input.resize(in.Byte() % (input.size() + 1));
  const std::size_t output_size = in.Below(600);

  auto request = handle.Start(code, input, output_size);
  Check(request != nullptr);
  const bool wait = code == IOCTL_SMARTCARD_IS_PRESENT || code == IOCTL_SMARTCARD_IS_ABSENT;
  tolvex::host::Status status = request->Wait(std::chrono::milliseconds(wait ? 5 : 20'000));
  if (status == 0x102 /* still in flight */) {
    Check(wait);  // only card waits stay pending
    request->Cancel();
    status = request->Wait(std::chrono::milliseconds(20'000));
    Check(status != 0x102);
  }
  if (static_cast<std::int32_t>(status) >= 0) {
    Check(status == 0);  // no warnings, no pending: success or a failure
    CheckSuccess(code, input, output_size, request->output());
  } else {
    Check(request->output().empty());
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
    Check(host.Stop().empty());
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
  const std::string left = host.Stop();
  Check(left.empty());
  return 0;
}
