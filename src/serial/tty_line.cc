#include "serial/tty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>

namespace tolvex::serial {

namespace {

constexpr size_t kReadChunk = 4096;

struct Speed {
  ULONG rate;
  speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

// The signal that wakes the modem-line watcher out of its wait; its handler does nothing.
int WakeSignal() {
  return SIGRTMIN + 4;
}

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(WakeSignal(), nullptr, &current) != 0) return;
    if (current.sa_handler != SIG_DFL) return;  // someone else's: leave it alone
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait returns with EINTR
    sigaction(WakeSignal(), &action, nullptr);
  });
}

}  // namespace

NTSTATUS StatusFromErrno(int error) {
  switch (error) {
    case 0:
      return STATUS_SUCCESS;
    case ENOENT:
    case ENOTDIR:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case EACCES:
    case EPERM:
      return STATUS_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
      return STATUS_SHARING_VIOLATION;
    case ENOTTY:
    case ENODEV:
    case ENXIO:
      return STATUS_NO_SUCH_DEVICE;
    case EINVAL:
      return STATUS_INVALID_PARAMETER;
    case ENOMEM:
      return STATUS_INSUFFICIENT_RESOURCES;
    case EIO:
      return STATUS_IO_DEVICE_ERROR;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

TtyLine::TtyLine(std::string path) : path_(std::move(path)) {}

TtyLine::~TtyLine() {
  Close();
}

void TtyLine::Attach(LineSink* sink) {
  std::lock_guard lock(sink_mutex_);
  sink_ = sink;
}

NTSTATUS TtyLine::Open() {
  if (fd_.load() >= 0) return STATUS_SHARING_VIOLATION;
  const int fd = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno);
  if (!isatty(fd)) {
    close(fd);
    return STATUS_NO_SUCH_DEVICE;  // a file, not a serial device
  }
  // One user at a time: an advisory lock for other programs that ask, and exclusive mode.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return StatusFromErrno(error);
  }
  (void)ioctl(fd, TIOCEXCL);
  dead_.store(false);
  reported_.store(false);
  dsr_changed_.store(false);
  fd_.store(fd);
  InstallWakeHandler();
  stop_watcher_.store(false);
  watcher_running_.store(true);
  watcher_ = std::thread([this] {
    WatchModemLines();
    watcher_running_.store(false);
  });
  return STATUS_SUCCESS;
}

void TtyLine::StopWatcher() {
  if (!watcher_.joinable()) return;
  stop_watcher_.store(true);
  // The watcher may be inside its wait, or about to enter it: knock until it has left.
  while (watcher_running_.load()) {
    pthread_kill(watcher_.native_handle(), WakeSignal());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  watcher_.join();
}

void TtyLine::Close() {
  StopWatcher();
  std::lock_guard lock(io_mutex_);  // no read or write is under way on the descriptor
  const int fd = fd_.exchange(-1);
  if (fd >= 0) {
    // Let go of the device at once: a thread still polling the descriptor keeps the file (and
    // a lock that went with it) alive until its poll returns.
    (void)ioctl(fd, TIOCNXCL);
    (void)flock(fd, LOCK_UN);
    close(fd);
  }
}

void TtyLine::WatchModemLines() {
  const int fd = fd_.load();
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) != 0) return;  // no modem lines here
  const int watched = TIOCM_DSR | TIOCM_CTS | TIOCM_CD | TIOCM_RNG;
  while (!stop_watcher_.load()) {
    if (ioctl(fd, TIOCMIWAIT, watched) != 0) {
      if (errno == EINTR) continue;
      return;  // the device cannot wait for its lines (a pseudo-terminal): nothing to report
    }
    int now = 0;
    if (ioctl(fd, TIOCMGET, &now) != 0) return;
    const int changed = now ^ lines;
    lines = now;
    ULONG events = 0;
    if (changed & TIOCM_DSR) events |= SERIAL_EV_DSR;
    if (changed & TIOCM_CTS) events |= SERIAL_EV_CTS;
    if (changed & TIOCM_CD) events |= SERIAL_EV_RLSD;
    if (changed & TIOCM_RNG) events |= SERIAL_EV_RING;
    if (events == 0) continue;
    if (events & SERIAL_EV_DSR) dsr_changed_.store(true);
    std::lock_guard lock(sink_mutex_);
    if (sink_ != nullptr) sink_->ModemLinesChanged(events);
  }
}

NTSTATUS TtyLine::Configure(const LineSettings& settings) {
  const int fd = fd_.load();
  if (fd < 0) return STATUS_SUCCESS;  // applied when the device is opened
  termios before{};
  if (tcgetattr(fd, &before) != 0) return StatusFromErrno(errno);
  termios t = before;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  switch (settings.line_control.WordLength) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    default:
      t.c_cflag |= CS8;
      break;
  }
  switch (settings.line_control.Parity) {
    case ODD_PARITY:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EVEN_PARITY:
      t.c_cflag |= PARENB;
      break;
    case MARK_PARITY:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case SPACE_PARITY:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (settings.line_control.StopBits != STOP_BIT_1) t.c_cflag |= CSTOPB;  // 1.5 is taken as 2
  if (settings.handflow.ControlHandShake & SERIAL_CTS_HANDSHAKE) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (settings.handflow.FlowReplace & SERIAL_AUTO_TRANSMIT) t.c_iflag |= IXON;
  if (settings.handflow.FlowReplace & SERIAL_AUTO_RECEIVE) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = settings.chars.XonChar;
  t.c_cc[VSTOP] = settings.chars.XoffChar;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  const Speed* speed = nullptr;
  for (const Speed& s : kSpeeds) {
    if (s.rate == settings.baud_rate) speed = &s;
  }
  if (speed == nullptr) return STATUS_INVALID_PARAMETER;  // no such rate on this system
  cfsetispeed(&t, speed->code);
  cfsetospeed(&t, speed->code);
  // A terminal takes what it has of the settings and drops the rest (a pseudo-terminal has no
  // parity and only 8 data bits; some adapters have no mark or space parity): tcsetattr then
  // succeeds if anything changed and fails with EINVAL if nothing did. Either way, framing or a
  // rate the terminal did not take is refused, as a rate the system does not have is, and the
  // terminal is put back as it was.
  if (tcsetattr(fd, TCSANOW, &t) != 0 && errno != EINVAL) return StatusFromErrno(errno);
  termios taken{};
  if (tcgetattr(fd, &taken) != 0) return StatusFromErrno(errno);
  constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  if ((taken.c_cflag & kFraming) != (t.c_cflag & kFraming) || cfgetospeed(&taken) != speed->code) {
    (void)tcsetattr(fd, TCSANOW, &before);
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

size_t TtyLine::Transmit(std::span<const UCHAR> bytes) {
  std::lock_guard lock(io_mutex_);
  const int fd = fd_.load();
  if (fd < 0 || dead_.load() || bytes.empty()) return 0;
  const ssize_t written = write(fd, bytes.data(), bytes.size());
  if (written >= 0) return static_cast<size_t>(written);
  if (errno != EAGAIN && errno != EINTR) {
    // The device is gone. The port holds its lock here: the hang-up is reported from the
    // port thread's next poll, which the wake-up brings about.
    dead_.store(true);
    std::lock_guard sink_lock(sink_mutex_);
    if (sink_ != nullptr) sink_->Wake();
  }
  return 0;  // the port offers the rest again, or its write time-out ends the request
}

bool TtyLine::Gone() const {
  if (dead_.load()) return true;
  std::lock_guard lock(io_mutex_);  // Close cannot hand the number to another file meanwhile
  const int fd = fd_.load();
  if (fd < 0) return false;
  pollfd probe{fd, 0, 0};  // hang-ups and errors are reported whatever is asked for
  return poll(&probe, 1, 0) == 1 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void TtyLine::Purge(ULONG mask) {
  const int fd = fd_.load();
  if (fd < 0) return;
  if ((mask & SERIAL_PURGE_RXCLEAR) && (mask & SERIAL_PURGE_TXCLEAR)) {
    (void)tcflush(fd, TCIOFLUSH);
  } else if (mask & SERIAL_PURGE_RXCLEAR) {
    (void)tcflush(fd, TCIFLUSH);
  } else if (mask & SERIAL_PURGE_TXCLEAR) {
    (void)tcflush(fd, TCOFLUSH);
  }
}

ULONG TtyLine::ModemStatus() {
  const int fd = fd_.load();
  int lines = 0;
  if (fd < 0 || ioctl(fd, TIOCMGET, &lines) != 0) return 0;  // no modem lines to read
  ULONG status = 0;
  if (lines & TIOCM_CTS) status |= SERIAL_CTS_STATE;
  if (lines & TIOCM_DSR) status |= SERIAL_DSR_STATE;
  if (lines & TIOCM_RNG) status |= SERIAL_RI_STATE;
  if (lines & TIOCM_CD) status |= SERIAL_DCD_STATE;
  return status;
}

void TtyLine::SetBreak(bool on) {
  const int fd = fd_.load();
  if (fd >= 0) (void)ioctl(fd, on ? TIOCSBRK : TIOCCBRK);
}

void TtyLine::SetModemBit(int bit, bool on) {
  const int fd = fd_.load();
  if (fd >= 0) (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
}

void TtyLine::SetDtr(bool on) {
  SetModemBit(TIOCM_DTR, on);
}

void TtyLine::SetRts(bool on) {
  SetModemBit(TIOCM_RTS, on);
}

int TtyLine::PollDescriptor(bool want_write, short* events) {
  const int fd = fd_.load();
  if (fd < 0 || reported_.load()) {
    *events = 0;
    return -1;
  }
  *events = static_cast<short>(POLLIN | (want_write && !dead_.load() ? POLLOUT : 0));
  return fd;
}

void TtyLine::OnPoll(short revents) {
  if ((revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) return;
  UCHAR buffer[kReadChunk];
  ssize_t got;
  int error;
  {
    // The read is made under the descriptor's lock, so Close cannot pull it away meanwhile;
    // the port hears of the bytes after the lock is let go.
    std::lock_guard lock(io_mutex_);
    const int fd = fd_.load();
    if (fd < 0) return;
    got = read(fd, buffer, sizeof(buffer));
    error = errno;
  }
  if (got > 0) {
    std::lock_guard lock(sink_mutex_);
    if (sink_ != nullptr) sink_->Receive(std::span<const UCHAR>(buffer, static_cast<size_t>(got)));
    return;
  }
  if (got < 0 && (error == EAGAIN || error == EINTR)) return;
  HungUp();  // end of the line: the device was pulled, or the far end of the terminal closed
}

void TtyLine::HungUp() {
  dead_.store(true);
  if (reported_.exchange(true)) return;
  dsr_changed_.store(true);
  std::lock_guard lock(sink_mutex_);
  if (sink_ != nullptr) sink_->ModemLinesChanged(SERIAL_EV_DSR);
}

}  // namespace tolvex::serial
