// The serial port over a terminal device, on pseudo-terminals the tests own.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "port_fixture.h"
#include "serial/tty_line.h"

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
    const auto end = std::chrono::steady_clock::now() + kLong;
    while (bytes.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd fd{master, POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      UCHAR buffer[256];
      const ssize_t got = read(master, buffer, sizeof(buffer));
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

struct PtyHolder {
  Pty pty;
};

class TtyPortTest : private PtyHolder, public SerialPortTest {
 protected:
  TtyPortTest() : PtyHolder{}, SerialPortTest(std::make_shared<TtyLine>(pty.path)) {}
  Pty& pty_() { return pty; }
};

TEST_F(TtyPortTest, SettingsReachTheTerminalInRawMode) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200}), STATUS_SUCCESS);
  // Pseudo-terminals keep 8 data bits without parity whatever they are told; stop bits stay.
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_2, NO_PARITY, 8}),
            STATUS_SUCCESS);
  const int fd = open(pty_().path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_EQ(cfgetispeed(&t), B19200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
}

TEST_F(TtyPortTest, RateTheSystemDoesNotHaveIsRefused) {
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{12345}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u);  // unchanged
}

TEST_F(TtyPortTest, BytesFlowBothWays) {
  auto write = StartWrite({0x80, 0x25, 0x10, 0x00});
  ASSERT_TRUE(write->Wait());
  EXPECT_EQ(write->status(), STATUS_SUCCESS);
  EXPECT_EQ(pty_().Take(4), (Bytes{0x80, 0x25, 0x10, 0x00}));

  SetTimeouts(SERIAL_TIMEOUTS{0, 0, 0, 0, 0});  // wait as long as it takes
  auto read = StartRead(3);
  pty_().Put({0x3B, 0x02, 0x14});
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Finish(), (Bytes{0x3B, 0x02, 0x14}));
}

TEST_F(TtyPortTest, ReadOnAQuietLineEndsByItsTimeOut) {
  SetTimeouts(SERIAL_TIMEOUTS{50, 0, 30, 0, 0});
  auto read = StartRead(1);
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->information(), 0u);
}

TEST_F(TtyPortTest, ReceivedCharacterEndsAWait) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_DSR}),
            STATUS_SUCCESS);
  auto wait = StartWait();
  pty_().Put({0x10, 0x85});
  ASSERT_TRUE(wait->Wait());
  EXPECT_EQ(ValueOf<ULONG>(wait->Finish()), SERIAL_EV_RXCHAR);
  EXPECT_TRUE(WaitUntil([&] { return port_->receive_queue() == 2; }));
}

TEST_F(TtyPortTest, PseudoTerminalHasNoModemLinesAndThatIsNoFailure) {
  auto status = Call(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
  EXPECT_EQ(status.status, STATUS_SUCCESS);
  EXPECT_EQ(ValueOf<ULONG>(status.output), 0u);
  EXPECT_EQ(Call(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
}

TEST_F(TtyPortTest, FarEndGoneIsReportedOnceAsADataSetReadyChange) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_DSR}),
            STATUS_SUCCESS);
  auto wait = StartWait();
  pty_().CloseMaster();
  ASSERT_TRUE(wait->Wait());
  EXPECT_EQ(ValueOf<ULONG>(wait->Finish()), SERIAL_EV_DSR);
  // Nothing more comes from a line that is gone; requests still end by their time-outs.
  auto second = StartWait();
  EXPECT_FALSE(second->Wait(std::chrono::milliseconds(100)));
  SetTimeouts(SERIAL_TIMEOUTS{0, 0, 20, 0, 20});
  auto read = StartRead(1);
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->status(), STATUS_TIMEOUT);
  auto write = StartWrite({1, 2, 3});
  ASSERT_TRUE(write->Wait());
  EXPECT_NE(write->status(), STATUS_SUCCESS);
}

// Opening ports whose device cannot serve.
class TtyOpen : public ::testing::Test {
 protected:
  NTSTATUS OpenOn(std::vector<std::string> paths) {
    std::vector<PortBinding> bindings;
    for (ULONG i = 0; i < paths.size(); ++i) {
      bindings.push_back(PortBinding{i, std::make_shared<TtyLine>(paths[i])});
    }
    EXPECT_EQ(LoadSerialDriver(platform_, bindings, &driver_), STATUS_SUCCESS);
    NTSTATUS last = STATUS_SUCCESS;
    for (ULONG i = 0; i < paths.size(); ++i) {
      std::u16string name = u"\\Device\\Serial" + platform::ToU16(std::to_string(i));
      UNICODE_STRING text{static_cast<USHORT>(name.size() * 2),
                          static_cast<USHORT>(name.size() * 2), name.data()};
      PFILE_OBJECT file = nullptr;
      PDEVICE_OBJECT device = nullptr;
      last = IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, &file, &device);
      if (NT_SUCCESS(last)) files_.push_back(file);
    }
    return last;
  }
  void TearDown() override {
    for (PFILE_OBJECT file : files_) ObfDereferenceObject(file);
    if (driver_ != nullptr) platform_.UnloadDriver(driver_);
    EXPECT_EQ(platform_.pool().OutstandingAllocations(), 0u) << platform_.pool().Describe();
  }

  platform::Platform platform_;
  platform::PlatformScope scope_{platform_};
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<PFILE_OBJECT> files_;
};

TEST_F(TtyOpen, MissingDeviceIsNotFound) {
  EXPECT_EQ(OpenOn({"/dev/tolvex-no-such-port"}), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(TtyOpen, DeviceThatIsNoTerminalIsRefused) {
  EXPECT_EQ(OpenOn({"/dev/null"}), STATUS_NO_SUCH_DEVICE);
}

TEST_F(TtyOpen, FileThatIsNoDeviceIsRefused) {
  const std::string file =
      std::filesystem::temp_directory_path() / ("tolvex-not-a-tty-" + std::to_string(getpid()));
  std::fclose(std::fopen(file.c_str(), "w"));
  EXPECT_EQ(OpenOn({file}), STATUS_NO_SUCH_DEVICE);
  std::filesystem::remove(file);
}

TEST_F(TtyOpen, DeviceInUseByAnotherPortIsBusy) {
  Pty pty;
  // Two ports on one device: the first takes it, the second is turned away.
  EXPECT_EQ(OpenOn({pty.path, pty.path}), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(files_.size(), 1u);
}

}  // namespace
}  // namespace tolvex::serial::port_tests
