// A bench for the reader link: one platform, the serial port driver with an in-memory line on
// port 0, a link record brought up as device start-up brings it up, and a scripted reader on
// the line's far end. A test that calls the driver directly holds a PlatformScope for platform().
#pragma once

#include <memory>

#include "driver/link/link.h"
#include "platform/platform.h"
#include "serial/memory_line.h"
#include "serial/serial_port.h"
#include "support/scripted_reader.h"

namespace tolvex::host {

class LinkBench {
 public:
  // On serial port 0; the pacing delays are skipped (the clock still records them).
  LinkBench();
  ~LinkBench();
  LinkBench(const LinkBench&) = delete;
  LinkBench& operator=(const LinkBench&) = delete;

  platform::Platform& platform() { return platform_; }
  serial::MemoryLine& line() { return *line_; }
  serial::SerialPort& port() { return *port_; }
  sim::ScriptedReader& script() { return script_; }
  PREADER_EXTENSION reader() { return reader_; }
  PSMARTCARD_EXTENSION smartcard() { return &smartcard_; }

  // Opens serial port 0 by name, as start-up does; the status.
  [[nodiscard]] NTSTATUS Open();
  // Opens the port (unless Open did), configures it as start-up does, or with `config`, and
  // arms the listener (IFInitializeInterface).
  [[nodiscard]] NTSTATUS Start(const SERIAL_CONFIG* config = nullptr);
  // Ends the listener and lets go of the port. Also done by the destructor.
  void Stop();

 private:
  static void RemovalRoutine(PVOID context);

  platform::Platform platform_;
  std::shared_ptr<serial::MemoryLine> line_;
  PDRIVER_OBJECT serial_driver_ = nullptr;
  serial::SerialPort* port_ = nullptr;
  sim::ScriptedReader script_;
  PREADER_EXTENSION reader_ = nullptr;
  SMARTCARD_EXTENSION smartcard_{};
  OS_DEP_DATA os_data_{};
  bool initialized_ = false;
};

}  // namespace tolvex::host
