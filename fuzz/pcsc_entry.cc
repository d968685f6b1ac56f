// The pcscd driver's entry points (pcsc/ifd_handler.cc) called as pcscd's clients make it call
// them, with any tags, lengths and buffers, on a simulated reader with a T=1 card on a
// pseudo-terminal (the reader's own pauses skipped; its time-outs are real).
//
// Lun 0 is open on the reader for the whole run (opened again if an input closed it). Each
// input is up to 16 calls of the entry points, on Lun 0 or another, with buffers of any room
// and contents (or none), the card pulled or put back between them. Tags and control codes are
// four bytes of the input, low first (pcsc_entry.dict has those the handler knows).
//
// Checked: every answer is an IFD_* code; a length written back never exceeds the room given
// but where the handler tells the room it needs; nothing is written outside a buffer (each is
// sized exactly, for the sanitizer); a failure returns no bytes; at the end of the run,
// closing every channel leaves the table empty.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/pty_simulator.h"
#include "input.h"
#include "pcsc/channel.h"
#include "pcsc/ifd.h"
#include "pcsc/log_stub.h"
#include "sim/reader_sim.h"

namespace {

using tolvex::fuzz::Check;
using tolvex::fuzz::Input;
using tolvex::ifd::ChannelTable;
using Bytes = std::vector<UCHAR>;

constexpr DWORD kLun = 0;

// Whether the handler's answer is one of pcsc-lite's IFD_* codes.
bool IsIfdCode(RESPONSECODE response) {
  return tolvex::fuzz::OneOf(
      response, {IFD_SUCCESS, IFD_ERROR_TAG, IFD_ERROR_SET_FAILURE, IFD_ERROR_VALUE_READ_ONLY,
                 IFD_ERROR_PTS_FAILURE, IFD_ERROR_NOT_SUPPORTED, IFD_PROTOCOL_NOT_SUPPORTED,
                 IFD_ERROR_POWER_ACTION, IFD_ERROR_SWALLOW, IFD_ERROR_EJECT, IFD_ERROR_CONFISCATE,
                 IFD_COMMUNICATION_ERROR, IFD_RESPONSE_TIMEOUT, IFD_NOT_SUPPORTED, IFD_ICC_PRESENT,
                 IFD_ICC_NOT_PRESENT, IFD_NO_SUCH_DEVICE, IFD_ERROR_INSUFFICIENT_BUFFER});
}

// The reader, with a T=1 card at first, for the whole run: the handler opens its terminal by
// the path and makes it raw itself.
tolvex::host::PtySimulator* Reader() {
  static auto* const reader = [] {
    auto* pty = new tolvex::host::PtySimulator;
    if (pty->ok()) (void)pty->sim().InsertCard("t1", /*report=*/false);
    return pty;
  }();
  return reader;
}

char* ReaderPath() {
  return const_cast<char*>(Reader()->path().c_str());
}

void CloseAll() {
  (void)IFDHCloseChannel(kLun);
  for (DWORD lun = 1; lun < 8; ++lun) (void)IFDHCloseChannel(lun << 16);
  Check(ChannelTable::Get().size() == 0);
}

// A buffer of exactly `room` bytes, given to a call as itself or as null.
struct Buffer {
  Bytes bytes;
  DWORD room;
  Buffer(Input& in, std::size_t limit)
      : bytes(in.Below(limit), 0xEE), room(static_cast<DWORD>(bytes.size())) {}
  UCHAR* Given(bool null) { return null ? nullptr : (room != 0 ? bytes.data() : &empty); }
  UCHAR empty = 0;
};

DWORD LunOf(UCHAR choice) {
  return (choice & 0x07) == 0 ? kLun : static_cast<DWORD>((choice & 0x07) << 16 | (choice >> 3));
}

// One call of an entry point, or the card pulled or put back; the handler's answer.
RESPONSECODE Call(Input& in) {
  const UCHAR what = in.Byte();
  const UCHAR flags = in.Byte();
  const DWORD lun = LunOf((flags & 0x80) != 0 ? in.Byte() : 0);
  const bool null = (flags & 0x40) != 0;  // buffers not given
  switch (what % 12) {
    case 0: {
      const DWORD tag = in.Long();
      Buffer value(in, 300);
      DWORD length = value.room;
      const RESPONSECODE response = IFDHGetCapabilities(lun, tag, &length, value.Given(null));
      if (response == IFD_SUCCESS) Check(length <= value.room);
      if (response == IFD_ERROR_INSUFFICIENT_BUFFER) Check(length > value.room);
      return response;
    }
    case 1: {
      const DWORD tag = in.Long();
      const Bytes value = in.Bytes(in.Below(300));
      Bytes copy = value;
      const RESPONSECODE response = IFDHSetCapabilities(
          lun, tag, static_cast<DWORD>(copy.size()), null || copy.empty() ? nullptr : copy.data());
      Check(copy == value);  // read only
      return response;
    }
    case 2: {
      const DWORD protocol = (flags & 0x20) != 0 ? in.Long() : 1u << (flags & 3);
      const UCHAR flag = in.Byte(), pts1 = in.Byte(), pts2 = in.Byte(), pts3 = in.Byte();
      return IFDHSetProtocolParameters(lun, protocol, flag, pts1, pts2, pts3);
    }
    case 3: {
      const UCHAR a = in.Byte();
      const DWORD action = a < 0xF0 ? IFD_POWER_UP + a % 3 : in.Long();
      Buffer atr(in, 64);
      DWORD length = atr.room;
      const RESPONSECODE response = IFDHPowerICC(lun, action, atr.Given(null), &length);
      Check(length <= atr.room && (response == IFD_SUCCESS || length == 0));
      return response;
    }
    case 4:
    case 5: {
      const UCHAR p = in.Byte();
      const SCARD_IO_HEADER send{p < 0xF0 ? p % 2u : in.Long(), 8};
      Bytes command = in.Bytes(in.Below(280));
      Buffer rx(in, 300);
      DWORD length = rx.room;
      SCARD_IO_HEADER receive{0xEEEE, 0xEEEE};
      const RESPONSECODE response =
          IFDHTransmitToICC(lun, send, command.empty() ? nullptr : command.data(),
                            static_cast<DWORD>(command.size()), rx.Given(null), &length, &receive);
      Check(length <= rx.room && (response == IFD_SUCCESS ? length >= 2 : length == 0));
      if (response == IFD_SUCCESS) Check(receive.Protocol == send.Protocol);
      return response;
    }
    case 6: {
      const DWORD code = in.Long();
      Bytes tx = in.Bytes(in.Below(300));
      Buffer rx(in, 300);
      DWORD returned = 0xEEEE;
      const RESPONSECODE response = IFDHControl(lun, code, null || tx.empty() ? nullptr : tx.data(),
                                                static_cast<DWORD>(tx.size()),
                                                rx.Given((flags & 0x20) != 0), rx.room, &returned);
      Check(returned <= rx.room && (response == IFD_SUCCESS || returned == 0));
      return response;
    }
    case 7:
      return IFDHICCPresence(lun);
    case 8:  // the reader's own terminal, or a number that names no serial device
      return (flags & 0x10) != 0
                 ? IFDHCreateChannel(lun, static_cast<DWORD>(0x00020000u | in.Word()))
                 : IFDHCreateChannelByName(lun, null ? nullptr : ReaderPath());
    case 9:
      return IFDHCloseChannel(lun);
    case 10:
      if (Reader()->sim().card_present()) {
        Reader()->sim().RemoveCard();
      } else {
        (void)Reader()->sim().InsertCard((flags & 1) != 0 ? "t1" : "dual");
      }
      return IFD_SUCCESS;
    default:
      return TolvexWaitForCardEvent(lun, 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tolvex::ifd::testing::KeepLastLines(20);  // pcscd's log function: the handler's last lines
  Check(Reader()->ok());
  // The reader's pauses (power off, set-up) are skipped: they cost a quarter of a second per
  // input and guard nothing an entry point does with its arguments.
  ChannelTable::Get().SetHostOptions({.skip_delays = true});
  std::atexit(CloseAll);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!ChannelTable::Get().Find(kLun)) {
    // Another Lun may hold the reader's terminal: all closed, Lun 0 opens it again, with a few
    // more tries (the reader's start-up waits in real time, which a busy machine may miss).
    CloseAll();
    if (!Reader()->sim().card_present()) (void)Reader()->sim().InsertCard("t1");
    RESPONSECODE opened = IFDHCreateChannelByName(kLun, ReaderPath());
    for (int again = 0; opened != IFD_SUCCESS && again < 4; ++again) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      opened = IFDHCreateChannelByName(kLun, ReaderPath());
    }
    if (opened != IFD_SUCCESS) {
      for (const std::string& line : tolvex::ifd::testing::LoggedLines())
        std::fprintf(stderr, "handler: %s\n", line.c_str());
    }
    Check(opened == IFD_SUCCESS);
  }
  Input in(data, size);
  for (int call = 0; call < 16 && !in.empty(); ++call) {
    Check(IsIfdCode(Call(in)), "every answer is an IFD_* code");
  }
  return 0;
}
