// A simulated reader on a pseudo-terminal, inside the test program: what tolvex-sim --pty
// does, so that the handler opens a real terminal device by its path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
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
  explicit PtyReader(const char* card = "t1") {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    path_ = name;
    // Held open here, so the master never sees a hang-up when the handler closes the device.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    if (slave_ >= 0 && tcgetattr(slave_, &settings) == 0) {
      cfmakeraw(&settings);
      (void)tcsetattr(slave_, TCSANOW, &settings);
    }
    (void)fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (pipe(wake_) != 0) return;
    const int master = master_;
    sim_ = std::make_unique<sim::ReaderSim>(sim::Line{
        [master](std::span<const std::uint8_t> bytes) { Send(master, bytes); }, [](bool) {}});
    if (card != nullptr) sim_->InsertCard(card, /*report=*/false);
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
    if (thread_.joinable()) {
      const char c = 0;
      (void)!write(wake_[1], &c, 1);
      thread_.join();
    }
    sim_.reset();
    for (int* fd : {&slave_, &master_, &wake_[0], &wake_[1]}) {
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
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    std::uint8_t buffer[512];
    while ((poll(fds, 2, -1) >= 0 || errno == EINTR) && fds[1].revents == 0) {
      const ssize_t n = (fds[0].revents & POLLIN) ? read(master_, buffer, sizeof(buffer)) : 0;
      if (n > 0) sim_->HostWrote(std::span(buffer, static_cast<std::size_t>(n)));
      if (n <= 0 && fds[0].revents != 0) usleep(10'000);
    }
  }

  int master_ = -1;
  int slave_ = -1;
  int wake_[2] = {-1, -1};
  std::string path_;
  std::unique_ptr<sim::ReaderSim> sim_;
  std::thread thread_;
};

}  // namespace tolvex::ifd::testing
