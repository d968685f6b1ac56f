// A simulated reader with a T=1 card on a pseudo-terminal, inside the test program: what
// tolvex-sim --pty does, so that the handler opens a real terminal device by its path (and
// makes it raw itself).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "sim/reader_sim.h"

namespace tolvex::ifd::testing {

class PtyReader {
 public:
  PtyReader() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    path_ = name;
    // Held open here, so the master never sees a hang-up when the handler closes the device.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    (void)fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    const int master = master_;
    sim_ = std::make_unique<sim::ReaderSim>(sim::Line{
        [master](std::span<const std::uint8_t> bytes) { Send(master, bytes); }, [](bool) {}});
    sim_->InsertCard("t1", /*report=*/false);
    thread_ = std::thread([this] { Run(); });
  }

  ~PtyReader() { Vanish(); }

  PtyReader(const PtyReader&) = delete;
  PtyReader& operator=(const PtyReader&) = delete;

  bool ok() const { return sim_ != nullptr && slave_ >= 0; }
  const std::string& path() const { return path_; }
  sim::ReaderSim& sim() { return *sim_; }

  // The reader goes away: both ends of the terminal close, and its device file with them.
  void Vanish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sim_.reset();
    for (int* fd : {&slave_, &master_}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

 private:
  static void Send(int fd, std::span<const std::uint8_t> bytes) {
    pollfd p{fd, POLLOUT, 0};
    while (!bytes.empty()) {
      const ssize_t n = write(fd, bytes.data(), bytes.size());
      if (n < 0 && (errno == EAGAIN || errno == EINTR) && poll(&p, 1, 1000) > 0) continue;
      if (n <= 0) return;
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
  }

  void Run() {
    pollfd p{master_, POLLIN, 0};
    std::uint8_t buffer[512];
    while (!stop_) {
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n > 0) sim_->HostWrote(std::span(buffer, static_cast<std::size_t>(n)));
      if (n <= 0) usleep(10'000);
    }
  }

  int master_ = -1;
  int slave_ = -1;
  std::atomic<bool> stop_ = false;
  std::string path_;
  std::unique_ptr<sim::ReaderSim> sim_;
  std::thread thread_;
};

}  // namespace tolvex::ifd::testing
