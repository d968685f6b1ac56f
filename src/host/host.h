// The host: a machine with serial ports, a registry and the reader driver, and the
// application side of it.
//
// A Host owns one platform. Before Start it is given ports: in-memory lines (a test plays the
// far end), simulated readers (the simulator on an in-memory line) or real serial devices.
// Start loads the serial port driver with those ports, writes the driver's port mask COMMask
// (by default one bit per port added) under its registry key and loads the reader driver,
// whose DriverEntry starts a reader on every port of the mask. Stop unloads both and checks
// that neither the driver nor the smart card library left memory allocated.
//
// Applications open a reader device by name or link (OpenDevice) and send it control
// requests through a Handle: synchronously (Control), or as a Request they can wait for with
// a time-out and cancel. Every call enters the host's platform itself; any thread may call.
//
// This header carries no kernel-interface types, so that programs with their own Windows-style
// type names (the PC/SC reader driver) can include it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/status.h"

namespace tolvex::platform {
class Platform;
}
namespace tolvex::serial {
class MemoryLine;
}
namespace tolvex::sim {
class ReaderSim;
struct ReaderOptions;
}  // namespace tolvex::sim

namespace tolvex::host {

class Handle;
class SimulatedReader;

// Bytes on a port's line, as a serial port monitor sees them: a chunk written to the reader or
// received from it, with its time (host/wire_trace.h decodes them).
struct WireChunk {
  bool from_reader = false;
  std::chrono::steady_clock::time_point at;
  std::span<const std::uint8_t> bytes;
};
// Called in the order the line carried the chunks, from the port's threads, under a lock of the
// port's line: it must be quick, and must not call the host.
using WireObserver = std::function<void(const WireChunk&)>;

enum class LineLoss { kNone, kHungUp, kDataSetReady };

class Host {
 public:
  struct Options {
    // Skip the reader's pacing delays (still recorded by the platform's clock): for tests.
    bool skip_delays = false;
  };
  Host();
  explicit Host(Options options);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Ports, before Start. Index 0 to 3 gives "\Device\Serial<index>".
  serial::MemoryLine& AddMemoryPort(unsigned index);
  sim::ReaderSim& AddSimulatedPort(unsigned index);
  sim::ReaderSim& AddSimulatedPort(unsigned index, const sim::ReaderOptions& options);
  // The same, as the tools see it (host/simulated_reader.h); it stays the host's.
  SimulatedReader AddSimulatedReader(unsigned index);
  // A real serial device or a pseudo-terminal, by its path (/dev/ttyS0, /dev/pts/3).
  void AddDevicePort(unsigned index, std::string path);
  // The COMMask to write; by default, one bit per port added. Absent: leave the value out.
  void SetPortMask(std::optional<std::uint32_t> mask);
  // Before Start: every byte on port `index`'s line, both ways, goes to `observer` too (any
  // kind of port; nothing of what passes changes).
  void Tap(unsigned index, WireObserver observer);
  // Writes COMMask as a value of another registry type (for tests of the driver's checks).
  void SetPortMaskValue(std::uint32_t type, std::vector<std::uint8_t> data);

  // Loads the serial port driver and the reader driver; the status of DriverEntry.
  [[nodiscard]] Status Start();
  // Unloads the reader driver only; returns a description of memory the driver or the smart
  // card library left allocated, empty if none.
  std::string StopDriver();
  // Unloads the reader driver and loads it again on the same ports, whose lines, simulators
  // and taps stay: every reader starts anew, as at Start (also one the driver stopped hearing,
  // once it answers). The status of DriverEntry. Memory the old driver left is reported by Stop.
  [[nodiscard]] Status RestartDriver();
  // Unloads both drivers. Returns a description of memory left allocated, empty if none.
  std::string Stop();
  bool started() const;

  // After Start: opens and closes serial port `index` as the driver would; the open's status.
  // Tells why a reader did not start: a device that is missing, busy or no serial device, or
  // (success) a port that opens but where no reader answered.
  [[nodiscard]] Status ProbePort(unsigned index);

  // Why the reader behind port `index` can no longer be heard, asked of the port's line alone
  // (no request, no traffic to the reader): the device hung up or failed (a USB serial adapter
  // pulled out, the far end of a pseudo-terminal closed), or its data-set-ready line changed (a
  // reader unplugged from a UART or switched off), after which the driver stops listening to
  // the reader until it is started again (RestartDriver, or another host). kNone for a port that
  // does not exist. A reader that falls silent on a line that stays up is not noticed here: its
  // next request times out.
  [[nodiscard]] LineLoss Lost(unsigned index) const;
  [[nodiscard]] bool LineGone(unsigned index) const { return Lost(index) != LineLoss::kNone; }
  // The path of the serial device behind port `index` (AddDevicePort); empty for other ports.
  std::string DevicePath(unsigned index) const;

  // The readers that started: their port indexes.
  std::vector<unsigned> Readers() const;
  // The device name of reader `index` ("\Device\Tolvex<index>") and its link, if any.
  std::u16string ReaderName(unsigned index) const;

  // Opens a device by name or link, as an application does: the handle, null on failure.
  Result<std::unique_ptr<Handle>> OpenDevice(const std::u16string& name);

  platform::Platform& platform();
  serial::MemoryLine* memory_line(unsigned index);
  sim::ReaderSim* simulator(unsigned index);

 private:
  Status StartReaderDriver();  // writes the port mask and loads the reader driver
  struct State;
  std::unique_ptr<State> state_;
};

// One control request in flight: it can be waited for and cancelled. The buffers it needs
// live with it; it is finished (and the driver's completion undone) only by Wait.
class Request {
 public:
  ~Request();  // cancels the request if it is still in flight, and waits for it
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Waits for the request to end, at most `limit` (none: without limit). Returns its status,
  // or STATUS_TIMEOUT (0x102) if it is still in flight.
  [[nodiscard]] Status Wait(std::optional<std::chrono::milliseconds> limit = std::nullopt);
  // Asks the driver to cancel it; Wait then returns its final status. Any thread may call it,
  // also while another thread is inside Wait.
  void Cancel();
  bool done() const;
  // The output, once done: as many bytes as the driver returned.
  const std::vector<std::uint8_t>& output() const { return output_; }

 private:
  friend class Handle;
  struct Irp;
  Request(Host& host, std::unique_ptr<Irp> irp);
  Host& host_;
  std::unique_ptr<Irp> irp_;
  std::vector<std::uint8_t> output_;
};

// An application's open handle to a device.
class Handle {
 public:
  ~Handle();  // closes
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  // Sends a control request and waits for it: its status and the bytes returned.
  Result<std::vector<std::uint8_t>> Control(std::uint32_t code, std::span<const std::uint8_t> input,
                                            std::size_t output_size);
  // Sends a control request and returns at once; null when the request cannot be built (no
  // memory for it).
  std::unique_ptr<Request> Start(std::uint32_t code, std::span<const std::uint8_t> input,
                                 std::size_t output_size);
  void Close();

 private:
  friend class Host;
  Handle(Host& host, void* file, void* device);
  Host& host_;
  void* file_;    // the platform's file object
  void* device_;  // and device object
};

}  // namespace tolvex::host
