// The serial port over a terminal device, on pseudo-terminals the tests own.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include "serial/port_fixture.h"
#include "serial/tty_line.h"
#include "support/wait.h"

namespace tolvex::serial::port_tests {
namespace {

// A pseudo-terminal pair: the test holds the master, the port opens the slave by its path.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    path = ptsname(master);
  }
  ~Pty() { CloseMaster(); }
  void CloseMaster() {
    if (master >= 0) close(master);
    master = -1;
  }
  // Reads what the port wrote, waiting for `count` bytes.
  Bytes Take(size_t count) {
    Bytes bytes;
    for (auto end = std::chrono::steady_clock::now() + 5s;
         bytes.size() < count && std::chrono::steady_clock::now() < end;) {
      pollfd fd{master, POLLIN, 0};
      UCHAR buffer[256];
      const ssize_t got = poll(&fd, 1, 50) > 0 ? read(master, buffer, sizeof(buffer)) : 0;
      if (got > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }
  void Put(const Bytes& bytes) {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }

  int master = -1;
  std::string path;
};

// The port over the slave; the base Pty is made first.
class TtyPortTest : protected Pty, public SerialPortTest {
 protected:
  TtyPortTest() : SerialPortTest(std::make_shared<TtyLine>(path)) {}
  // The terminal's settings, as another user of the device sees them.
  termios Terminal() {
    termios t{};
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    return t;
  }
};

// Each row's settings, one after the other, and the terminal as another user of it sees it. A
// pseudo-terminal has no parity and only 8 data bits: framing it does not take is refused and
// leaves the terminal as it was, and the flow control is set all the same.
TEST_F(TtyPortTest, SettingsReachTheTerminalInRawMode) {
  constexpr tcflag_t kShown = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  constexpr NTSTATUS kRefused = STATUS_INVALID_PARAMETER;
  const struct {
    SERIAL_LINE_CONTROL line;
    NTSTATUS status;
    ULONG flow;  // FlowReplace
    tcflag_t cflag;
    tcflag_t iflag;
  } rows[] = {
      {{STOP_BITS_2, NO_PARITY, 8}, STATUS_SUCCESS, 0, CS8 | CSTOPB, 0},
      {{STOP_BIT_1, ODD_PARITY, 8}, kRefused, SERIAL_AUTO_TRANSMIT, CS8 | CSTOPB, IXON},
      {{STOP_BITS_1_5, NO_PARITY, 7}, kRefused, SERIAL_AUTO_RECEIVE, CS8 | CSTOPB, IXOFF},
      {{STOP_BIT_1, NO_PARITY, 8}, STATUS_SUCCESS, 0, CS8, 0},
      {{STOP_BIT_1, MARK_PARITY, 8}, kRefused, 0, CS8, 0},
      {{STOP_BITS_2, SPACE_PARITY, 8}, kRefused, 0, CS8, 0},
      {{STOP_BITS_2, EVEN_PARITY, 8}, kRefused, 0, CS8, 0},
  };
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200}), STATUS_SUCCESS);
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, row.line), row.status);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0, row.flow, 0, 0}), STATUS_SUCCESS);
    const termios t = Terminal();
    EXPECT_EQ(t.c_cflag & kShown, row.cflag);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), row.iflag);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(cfgetospeed(&t), B19200);
  }
  // A rate the system does not have is refused and changes nothing.
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{12345}), kRefused);
  EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u);
  const termios after = Terminal();
  EXPECT_EQ(cfgetispeed(&after), B19200);
}

TEST_F(TtyPortTest, BytesFlowBothWaysAndThereAreNoModemLines) {
  RequestPtr write = StartWrite({0x80, 0x25, 0x10, 0x00});
  ASSERT_TRUE(write->Wait());
  EXPECT_EQ(write->status, STATUS_SUCCESS);
  EXPECT_EQ(Take(4), (Bytes{0x80, 0x25, 0x10, 0x00}));
  RequestPtr read = StartRead(3);
  Put({0x3B, 0x02, 0x14});
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->status, STATUS_SUCCESS);
  EXPECT_EQ(read->Finish(), (Bytes{0x3B, 0x02, 0x14}));
  // Bytes that come while nothing else stirs the port still reach it.
  SetWaitMask(SERIAL_EV_RXCHAR);
  RequestPtr wait = StartWait();
  Put({0x10, 0x85});
  ASSERT_TRUE(wait->Wait());
  EXPECT_EQ(ValueOf<ULONG>(wait->Finish()), SERIAL_EV_RXCHAR);
  // A pseudo-terminal has no modem lines, and that is no failure.
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), 0u);
  EXPECT_EQ(Call(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
  // The far end gone is a data set ready change, reported once; requests still end.
  RequestPtr taken = StartRead(2);
  ASSERT_TRUE(taken->Wait());
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR);
  RequestPtr gone = StartWait();
  EXPECT_FALSE(backend_->Gone());
  EXPECT_FALSE(backend_->DsrChanged());
  CloseMaster();
  ASSERT_TRUE(gone->Wait());
  EXPECT_EQ(ValueOf<ULONG>(gone->Finish()), SERIAL_EV_DSR);
  EXPECT_TRUE(backend_->Gone());  // and the line says so to whoever asks
  EXPECT_TRUE(backend_->DsrChanged());
  RequestPtr second = StartWait();
  EXPECT_FALSE(second->Wait(100ms));
  // Reads end by their time-out; writes, which have none here, fail at once: nothing takes
  // their bytes any more.
  SetTimeouts(SERIAL_TIMEOUTS{0, 0, 20, 0, 0});
  RequestPtr late = StartRead(1);
  ASSERT_TRUE(late->Wait());
  EXPECT_EQ(late->status, STATUS_TIMEOUT);
  RequestPtr lost = StartWrite({1, 2, 3});
  ASSERT_TRUE(lost->Wait());
  EXPECT_EQ(lost->status, STATUS_NO_SUCH_DEVICE);
}

TEST(TtyLineTest, DeviceThatCannotServeIsRefused) {
  Pty pty;
  TtyLine first(pty.path);
  ASSERT_EQ(first.Open(), STATUS_SUCCESS);
  const auto descriptors = [] {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
  };
  const auto before = descriptors();
  for (auto [path, status] :
       {std::pair<std::string, NTSTATUS>{"/dev/tolvex-no-such-port", STATUS_OBJECT_NAME_NOT_FOUND},
        {"/dev/null", STATUS_NO_SUCH_DEVICE},
        {pty.path, STATUS_SHARING_VIOLATION}}) {  // the first line has it
    SCOPED_TRACE(path);
    EXPECT_EQ(TtyLine(path).Open(), status);
  }
  EXPECT_EQ(descriptors(), before) << "a refused open kept its descriptor";
  first.Close();
}

// The far end gone is in the line's answer as soon as it has happened, before any port thread
// has polled the descriptor (here there is none): a question asked just after a device went
// away is answered the same every time.
TEST(TtyLineTest, FarEndGoneIsSeenByWhoeverAsks) {
  Pty pty;
  TtyLine line(pty.path);
  ASSERT_EQ(line.Open(), STATUS_SUCCESS);
  EXPECT_FALSE(line.Gone());
  pty.CloseMaster();
  EXPECT_TRUE(line.Gone());
  line.Close();
  EXPECT_FALSE(line.Gone());  // closed: no device to ask
}

// A terminal whose buffer is full takes nothing for now: that is no device gone, and bytes go
// again once the far end reads.
TEST(TtyLineTest, FullTerminalTakesNothingForNowAndIsNotGone) {
  Pty pty;
  TtyLine line(pty.path);
  ASSERT_EQ(line.Open(), STATUS_SUCCESS);
  const Bytes block(4096, 0x55);
  for (size_t rounds = 0; line.Transmit(block) != 0; ++rounds) {
    ASSERT_LT(rounds, 4096u) << "the terminal never filled";
  }
  EXPECT_FALSE(line.Gone());
  EXPECT_TRUE(tolvex::testutil::WaitUntil([&] {
    (void)pty.Take(256);
    return line.Transmit(block) != 0;
  }));
  line.Close();
}

}  // namespace
}  // namespace tolvex::serial::port_tests
