// PtySimulator: the simulated reader (sim::ReaderSim) on the master side of a pseudo-terminal,
// whose slave device a host opens as a real serial port (by its path(): termios and all).
//
// The constructor opens the pair, puts the simulator on the master and starts one thread that
// blocks in poll on the master and on a stop event: it wakes only when the host writes, and
// hands those bytes to the simulator. The simulator's bytes for the host go to the master from
// whichever thread makes them (the pump, the simulator's scheduler, a caller moving the card);
// the master does not block, and a write that finds no room waits for it up to a second at a
// time, after which the rest is dropped (nobody reads the device) and told to `dropped`.
//
// A descriptor of the slave side stays open here, so the master never sees a hang-up while the
// host has the device closed. Vanish takes the reader away: the thread stops, the simulator
// goes, both ends close, and the device file with them (a host then finds its port gone). The
// destructor does the same.
//
// Tools reach the simulator through reader() (the console's SimulatedReader); the tests,
// benchmarks and the fuzz target through sim().
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "host/simulated_reader.h"  // also declares sim::ReaderSim and sim::ReaderOptions

namespace tolvex::host {

class PtySimulator {
 public:
  struct Options {
    // Make the slave side raw, at 19200 baud, before anyone opens it (as a ready serial port
    // is); otherwise the terminal keeps its defaults and the host has to make it raw itself.
    bool raw = false;
    // Told how many bytes for the host were dropped because nobody read the device.
    std::function<void(std::size_t)> dropped;
  };

  PtySimulator();  // the simulator's defaults
  PtySimulator(const sim::ReaderOptions& reader, Options options);
  // With the tools' options (simulated_reader.h).
  PtySimulator(const SimulatedReaderOptions& reader, Options options);
  ~PtySimulator();
  PtySimulator(const PtySimulator&) = delete;
  PtySimulator& operator=(const PtySimulator&) = delete;

  // The pair is open and the simulator runs; otherwise error() says what failed.
  bool ok() const { return sim_ != nullptr; }
  const std::string& error() const { return error_; }
  // The slave side's device, for the host to open.
  const std::string& path() const { return path_; }
  sim::ReaderSim& sim() { return *sim_; }
  // The simulator as the tools drive it (its console), valid while this lives and until
  // Vanish.
  SimulatedReader reader();
  // The thread that hands the host's bytes to the simulator (its kernel thread id).
  pid_t thread_id() const { return thread_id_.load(); }
  // Another far end instead of the simulator (a replay, host/replay.h), set before the host
  // opens the device: what the host writes goes to `far_end`, and the far end answers with
  // Send. The simulator hears nothing more.
  void Divert(std::function<void(std::span<const std::uint8_t>)> far_end);
  // Bytes for the host, from any thread.
  void Send(std::span<const std::uint8_t> bytes);
  // Bytes sent to the host that the terminal still holds.
  std::size_t Pending() const;

  // The reader goes away: the thread stops, the simulator goes, both ends of the terminal
  // close, and its device file with them.
  void Vanish();

 private:
  void Open(const sim::ReaderOptions& reader);
  void Run();

  Options options_;
  int master_ = -1, slave_ = -1, stop_ = -1;
  std::string path_;
  std::string error_;
  std::unique_ptr<sim::ReaderSim> sim_;
  std::atomic<pid_t> thread_id_{0};
  std::mutex divert_mutex_;
  std::function<void(std::span<const std::uint8_t>)> far_end_;  // under divert_mutex_
  std::thread thread_;
};

}  // namespace tolvex::host
