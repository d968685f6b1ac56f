#include "host/pty_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "host/simulated_reader.h"
#include "sim/reader_sim.h"

namespace tolvex::host {

PtySimulator::PtySimulator() : PtySimulator(sim::ReaderOptions{}, Options{}) {}

PtySimulator::PtySimulator(const sim::ReaderOptions& reader, Options options)
    : options_(std::move(options)) {
  Open(reader);
}

PtySimulator::PtySimulator(const SimulatedReaderOptions& reader, Options options)
    : options_(std::move(options)) {
  Open(SimulatedReader::ReaderOptionsOf(reader));
}

PtySimulator::~PtySimulator() {
  Vanish();
}

void PtySimulator::Open(const sim::ReaderOptions& reader) {
  const auto failed = [this](const std::string& what) {
    error_ = what + ": " + std::strerror(errno);
  };
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    return failed("posix_openpt");
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof(name)) != 0) return failed("ptsname");
  path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) return failed("open " + path_);
  termios settings{};
  if (options_.raw && tcgetattr(slave_, &settings) == 0) {
    cfmakeraw(&settings);
    cfsetispeed(&settings, B19200);
    cfsetospeed(&settings, B19200);
    settings.c_cflag |= CLOCAL | CREAD;
    (void)tcsetattr(slave_, TCSANOW, &settings);
  }
  if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) return failed("fcntl");
  stop_ = eventfd(0, EFD_CLOEXEC);
  if (stop_ < 0) return failed("eventfd");
  sim_ = std::make_unique<sim::ReaderSim>(
      sim::Line{[this](std::span<const std::uint8_t> bytes) { Send(bytes); }, [](bool) {}}, reader);
  thread_ = std::thread([this] { Run(); });
  thread_id_.wait(0);
}

void PtySimulator::Divert(std::function<void(std::span<const std::uint8_t>)> far_end) {
  std::lock_guard lock(divert_mutex_);
  far_end_ = std::move(far_end);
}

SimulatedReader PtySimulator::reader() {
  return SimulatedReader(*sim_, /*has_dsr=*/false);
}

std::size_t PtySimulator::Pending() const {
  int count = 0;
  return slave_ >= 0 && ioctl(slave_, FIONREAD, &count) == 0 ? static_cast<std::size_t>(count) : 0;
}

void PtySimulator::Vanish() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    (void)!write(stop_, &one, sizeof(one));
    thread_.join();
  }
  sim_.reset();  // its scheduler may still be sending to the master
  for (int* fd : {&stop_, &slave_, &master_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void PtySimulator::Run() {
  thread_id_.store(static_cast<pid_t>(syscall(SYS_gettid)));
  thread_id_.notify_all();
  pollfd fds[2] = {{master_, POLLIN, 0}, {stop_, POLLIN, 0}};
  std::uint8_t buffer[512];
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLIN) {
      const ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n > 0) {
        const std::span<const std::uint8_t> bytes(buffer, static_cast<std::size_t>(n));
        std::function<void(std::span<const std::uint8_t>)> far_end;
        {
          std::lock_guard lock(divert_mutex_);
          far_end = far_end_;
        }
        far_end ? far_end(bytes) : sim_->HostWrote(bytes);
      }
    } else if (fds[0].revents != 0) {
      // No hang-up can come while the slave is held here; wait out anything else (or the
      // stop) without spinning.
      (void)poll(&fds[1], 1, 10);
    }
  }
}

void PtySimulator::Send(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    pollfd room{master_, POLLOUT, 0};
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && poll(&room, 1, 1000) > 0) continue;
    if (options_.dropped) options_.dropped(bytes.size());
    return;
  }
}

}  // namespace tolvex::host
