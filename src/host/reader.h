// Reader: an application's view of one reader, over the PC/SC control requests.
//
// Every call is one control request to the driver (through the smart card library), made on
// the caller's thread; the status is the driver's. A Reader holds the reader open: the driver
// lets one handle at a time have it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/host.h"

namespace tolvex::host {

struct ReaderVersions {
  std::uint32_t library = 0;
  std::uint8_t driver_major = 0;
  std::uint8_t driver_minor = 0;
  std::uint8_t firmware_major = 0;
  std::uint8_t firmware_minor = 0;
};

enum class Power : std::uint32_t { kDown = 0, kColdReset = 1, kWarmReset = 2 };

// Card states, as the driver reports them.
enum class CardState : std::uint32_t {
  kUnknown = 0,
  kAbsent = 1,
  kPresent = 2,
  kSwallowed = 3,
  kPowered = 4,
  kNegotiable = 5,
  kSpecific = 6,
};

// What a card wait waits for: a card in the reader, or none.
enum class CardWait { kPresent, kAbsent };

class Reader {
 public:
  using Bytes = std::vector<std::uint8_t>;
  // Opens reader `index` ("\Device\Tolvex<index>"); null on failure.
  static Result<std::unique_ptr<Reader>> Open(Host& host, unsigned index);
  // Opens a reader by device name or link.
  static Result<std::unique_ptr<Reader>> Open(Host& host, const std::u16string& name);

  Result<ReaderVersions> Versions();
  Result<Bytes> Attribute(std::uint32_t tag);
  Result<std::uint32_t> AttributeNumber(std::uint32_t tag);
  Result<std::string> AttributeText(std::uint32_t tag);
  Result<CardState> State();
  Result<std::uint32_t> LastError();

  // Waits until a card is in the reader (kPresent) or out of it, at most `limit`: success when
  // it is so already or becomes so; STATUS_TIMEOUT (0x102) when the time ran out (the wait is
  // cancelled); STATUS_CANCELLED when something else ended it.
  [[nodiscard]] Status WaitForCard(CardWait until, std::chrono::milliseconds limit);
  // The same as a request to wait on, e.g. from a polling thread that must be stoppable; null
  // when the request cannot be built (no memory for it).
  std::unique_ptr<Request> StartWaitForCard(CardWait until);

  // Power: the ATR after a reset (none after a power-down or a failure).
  Result<Bytes> PowerCard(Power action);
  // Protocol selection: bit 0 T=0, bit 1 T=1; the protocol selected (0 on failure).
  Result<std::uint32_t> SetProtocol(std::uint32_t requested);
  // Sends an APDU under the selected protocol: the response with SW1 SW2 (none on failure).
  // The room for it is what the APDU can need (ResponseRoom in host/apdu.h) unless given.
  Result<Bytes> Transmit(std::uint32_t protocol, std::span<const std::uint8_t> apdu,
                         std::optional<std::size_t> response_room = std::nullopt);
  // Any control request: the bytes returned.
  Result<Bytes> Control(std::uint32_t code, std::span<const std::uint8_t> input,
                        std::size_t output_size);

 private:
  explicit Reader(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
};

}  // namespace tolvex::host
