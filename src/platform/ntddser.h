// The serial port interface: control codes, records and flag bits that serial port drivers
// accept and their clients send. Every control code is buffered, device type 0x1B.
#pragma once

#include "platform/io.h"

constexpr ULONG SerialControlCode(ULONG function) {
  return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}

inline constexpr ULONG IOCTL_SERIAL_SET_BAUD_RATE = SerialControlCode(1);
inline constexpr ULONG IOCTL_SERIAL_SET_QUEUE_SIZE = SerialControlCode(2);
inline constexpr ULONG IOCTL_SERIAL_SET_LINE_CONTROL = SerialControlCode(3);
inline constexpr ULONG IOCTL_SERIAL_SET_BREAK_ON = SerialControlCode(4);
inline constexpr ULONG IOCTL_SERIAL_SET_BREAK_OFF = SerialControlCode(5);
inline constexpr ULONG IOCTL_SERIAL_SET_TIMEOUTS = SerialControlCode(7);
inline constexpr ULONG IOCTL_SERIAL_GET_TIMEOUTS = SerialControlCode(8);
inline constexpr ULONG IOCTL_SERIAL_SET_DTR = SerialControlCode(9);
inline constexpr ULONG IOCTL_SERIAL_CLR_DTR = SerialControlCode(10);
inline constexpr ULONG IOCTL_SERIAL_SET_RTS = SerialControlCode(12);
inline constexpr ULONG IOCTL_SERIAL_CLR_RTS = SerialControlCode(13);
inline constexpr ULONG IOCTL_SERIAL_GET_WAIT_MASK = SerialControlCode(16);
inline constexpr ULONG IOCTL_SERIAL_SET_WAIT_MASK = SerialControlCode(17);
inline constexpr ULONG IOCTL_SERIAL_WAIT_ON_MASK = SerialControlCode(18);
inline constexpr ULONG IOCTL_SERIAL_PURGE = SerialControlCode(19);
inline constexpr ULONG IOCTL_SERIAL_GET_BAUD_RATE = SerialControlCode(20);
inline constexpr ULONG IOCTL_SERIAL_GET_LINE_CONTROL = SerialControlCode(21);
inline constexpr ULONG IOCTL_SERIAL_GET_CHARS = SerialControlCode(22);
inline constexpr ULONG IOCTL_SERIAL_SET_CHARS = SerialControlCode(23);
inline constexpr ULONG IOCTL_SERIAL_GET_HANDFLOW = SerialControlCode(24);
inline constexpr ULONG IOCTL_SERIAL_SET_HANDFLOW = SerialControlCode(25);
inline constexpr ULONG IOCTL_SERIAL_GET_MODEMSTATUS = SerialControlCode(26);
inline constexpr ULONG IOCTL_SERIAL_GET_COMMSTATUS = SerialControlCode(27);

struct SERIAL_BAUD_RATE {
  ULONG BaudRate;
};

struct SERIAL_LINE_CONTROL {
  UCHAR StopBits;
  UCHAR Parity;
  UCHAR WordLength;
};

struct SERIAL_TIMEOUTS {
  ULONG ReadIntervalTimeout;
  ULONG ReadTotalTimeoutMultiplier;
  ULONG ReadTotalTimeoutConstant;
  ULONG WriteTotalTimeoutMultiplier;
  ULONG WriteTotalTimeoutConstant;
};

struct SERIAL_CHARS {
  UCHAR EofChar;
  UCHAR ErrorChar;
  UCHAR BreakChar;
  UCHAR EventChar;
  UCHAR XonChar;
  UCHAR XoffChar;
};

struct SERIAL_HANDFLOW {
  ULONG ControlHandShake;
  ULONG FlowReplace;
  LONG XonLimit;
  LONG XoffLimit;
};

struct SERIAL_QUEUE_SIZE {
  ULONG InSize;
  ULONG OutSize;
};

struct SERIAL_STATUS {
  ULONG Errors;
  ULONG HoldReasons;
  ULONG AmountInInQueue;
  ULONG AmountInOutQueue;
  BOOLEAN EofReceived;
  BOOLEAN WaitForImmediate;
};

static_assert(sizeof(SERIAL_LINE_CONTROL) == 3);
static_assert(sizeof(SERIAL_CHARS) == 6);
static_assert(sizeof(SERIAL_TIMEOUTS) == 20);
static_assert(sizeof(SERIAL_HANDFLOW) == 16);
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8);
static_assert(sizeof(SERIAL_STATUS) == 20);

// Wait mask events.
inline constexpr ULONG SERIAL_EV_RXCHAR = 0x0001;
inline constexpr ULONG SERIAL_EV_RXFLAG = 0x0002;
inline constexpr ULONG SERIAL_EV_TXEMPTY = 0x0004;
inline constexpr ULONG SERIAL_EV_CTS = 0x0008;
inline constexpr ULONG SERIAL_EV_DSR = 0x0010;
inline constexpr ULONG SERIAL_EV_RLSD = 0x0020;
inline constexpr ULONG SERIAL_EV_BREAK = 0x0040;
inline constexpr ULONG SERIAL_EV_ERR = 0x0080;
inline constexpr ULONG SERIAL_EV_RING = 0x0100;
inline constexpr ULONG SERIAL_EV_VALID = 0x01FF;

// Purge mask.
inline constexpr ULONG SERIAL_PURGE_TXABORT = 0x1;
inline constexpr ULONG SERIAL_PURGE_RXABORT = 0x2;
inline constexpr ULONG SERIAL_PURGE_TXCLEAR = 0x4;
inline constexpr ULONG SERIAL_PURGE_RXCLEAR = 0x8;

// Line control.
inline constexpr UCHAR STOP_BIT_1 = 0;
inline constexpr UCHAR STOP_BITS_1_5 = 1;
inline constexpr UCHAR STOP_BITS_2 = 2;
inline constexpr UCHAR NO_PARITY = 0;
inline constexpr UCHAR ODD_PARITY = 1;
inline constexpr UCHAR EVEN_PARITY = 2;
inline constexpr UCHAR MARK_PARITY = 3;
inline constexpr UCHAR SPACE_PARITY = 4;

// Handflow.
inline constexpr ULONG SERIAL_DTR_CONTROL = 0x01;
inline constexpr ULONG SERIAL_DTR_HANDSHAKE = 0x02;
inline constexpr ULONG SERIAL_CTS_HANDSHAKE = 0x08;
inline constexpr ULONG SERIAL_DSR_HANDSHAKE = 0x10;
inline constexpr ULONG SERIAL_DCD_HANDSHAKE = 0x20;
inline constexpr ULONG SERIAL_DSR_SENSITIVITY = 0x40;
inline constexpr ULONG SERIAL_ERROR_ABORT = 0x80000000;
inline constexpr ULONG SERIAL_CONTROL_INVALID = 0x7FFFFF84;
inline constexpr ULONG SERIAL_AUTO_TRANSMIT = 0x01;
inline constexpr ULONG SERIAL_AUTO_RECEIVE = 0x02;
inline constexpr ULONG SERIAL_RTS_CONTROL = 0x40;
inline constexpr ULONG SERIAL_RTS_HANDSHAKE = 0x80;
inline constexpr ULONG SERIAL_XOFF_CONTINUE = 0x80000000;
inline constexpr ULONG SERIAL_FLOW_INVALID = 0x7FFFFF20;

// Errors reported in SERIAL_STATUS.
inline constexpr ULONG SERIAL_ERROR_BREAK = 0x01;
inline constexpr ULONG SERIAL_ERROR_FRAMING = 0x02;
inline constexpr ULONG SERIAL_ERROR_OVERRUN = 0x04;
inline constexpr ULONG SERIAL_ERROR_QUEUEOVERRUN = 0x08;
inline constexpr ULONG SERIAL_ERROR_PARITY = 0x10;

// Modem status bits of IOCTL_SERIAL_GET_MODEMSTATUS.
inline constexpr ULONG SERIAL_CTS_STATE = 0x10;
inline constexpr ULONG SERIAL_DSR_STATE = 0x20;
inline constexpr ULONG SERIAL_RI_STATE = 0x40;
inline constexpr ULONG SERIAL_DCD_STATE = 0x80;

// Read time-out value meaning "no interval limit" / the special read modes.
inline constexpr ULONG SERIAL_TIMEOUT_MAX = 0xFFFFFFFF;
