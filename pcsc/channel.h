// The handler's channels: one reader that pcscd opened, and the table of them by Lun.
//
// pcsc/README.md tells who calls the handler on which threads; this file is the state behind
// it. A Channel owns a Host that runs the driver on one serial device (port 0 of that Host)
// and the Reader client on it; everything pcscd asks of the reader becomes one or two of the
// driver's control requests through that Reader.
//
// Locks, and what they guard:
//   ChannelTable::mutex_  the map from reader number (Lun >> 16) to channel and the set of
//                         Luns being opened. Held only to look up, insert or erase, never
//                         across a request to the driver or the start or stop of a Host.
//   Channel::io_          reader_ and host_: every request made for pcscd's client handlers
//                         and for the presence query holds it, and Close holds it to close
//                         the reader and stop the host. It never guards the card wait.
//   Channel::poll_mutex_  the card wait: waiting_ (the tracking request in flight), polling_,
//                         stop_pending_ and closed_. StopWaiting takes only this one and
//                         cancels the request under it, so a stop never waits for io_ (a
//                         transmit that takes seconds cannot delay it).
// A call holding io_ may take poll_mutex_ (to end the card wait when it saw the device gone);
// nothing takes io_ while holding poll_mutex_: Close takes poll_mutex_ first, lets it go once
// no wait is left, and only then takes io_.
// reported_, removal_seen_, gone_noticed_ and removals_ are atomics shared by the card wait
// and the calls.
//
// A channel is shared (shared_ptr): a call that found it in the table keeps it alive while it
// runs, even if another thread closes the Lun meanwhile; such a call then finds the reader
// closed and fails. The table itself is never destroyed: pcscd may exit (SIGTERM) with
// channels open and calls in flight, and nothing may tear a Host down under them.
//
// The reader away, and back. When the serial device goes (its file removed: a USB serial
// adapter pulled out, a simulator ended; or its line hung up: a name re-pointed at another
// terminal), the card wait notices it within kDeviceCheck (a call that sees it first wakes the
// wait), closes the reader and ends; the channel is "away". pcscd then asks for the presence,
// which answers IFD_COMMUNICATION_ERROR (every other call IFD_NO_SUCH_DEVICE): pcscd shows its
// applications the reader unavailable, and polls again. That next card wait stops the old Host,
// which closes the device, and tries the same device again, with pauses that grow to
// kRetryPauseMax after starts that failed; once a reader answers, a Host runs there as at the
// channel's opening, the channel is back and the wait ends, for pcscd to look at the card. The
// pauses are sleeps on pcscd's polling thread: the channel has no thread of its own.
// Who changes host_, reader_ and stopping_: the card wait (on pcscd's one polling thread,
// polling_ set) and Close once no wait runs, under io_ (stopping_ is the card wait's own until
// Close). So the card wait may use them without io_, and the other calls see them only under
// io_. away_ is written with them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "host/apdu.h"
#include "host/host.h"
#include "host/reader.h"
#include "host/wire_trace.h"

namespace tolvex::ifd {

// pcsc-lite's RESPONSECODE: IFD_SUCCESS, IFD_COMMUNICATION_ERROR, ...
using Response = long;

// The most readers one handler serves at once (what TAG_IFD_SIMULTANEOUS_ACCESS says).
inline constexpr unsigned kMaxChannels = 16;
// The longest response to a control request or value of an attribute passed on.
inline constexpr std::size_t kMaxResponse = 258;
// The longest control request passed on.
inline constexpr std::size_t kMaxCommand = 261;
// The longest APDU and response (extended lengths, pcsc-lite's extended buffer): a command of
// 4 + 3 + 65,535 + 2 bytes, a response of 65,536 bytes and SW1 SW2.
inline constexpr std::size_t kMaxApdu = host::kMaxExtendedCommand;
inline constexpr std::size_t kMaxApduResponse = host::kExtendedResponseRoom;
// The longest device name accepted.
inline constexpr std::size_t kMaxDeviceName = 4095;
// The pauses between tries of a device that went away: the first, and the longest.
inline constexpr std::chrono::milliseconds kRetryPause{250};
inline constexpr std::chrono::milliseconds kRetryPauseMax{2000};

// The device a CHANNELID names: a small number n is /dev/ttyS<n>; 0x0001CCCC (the serial
// channel type and channel CCCC) is the same for CCCC, where the I/O addresses of the PC's
// four serial ports, 0x3F8, 0x2F8, 0x3E8 and 0x2E8, stand for ports 0 to 3. None for anything
// else.
std::optional<std::string> ChannelDevice(std::uint64_t channel);

class Channel {
 public:
  // Boots a host with the driver on `device` and opens its reader. On failure returns null
  // and sets *error: IFD_NO_SUCH_DEVICE when the device is missing or is no serial device,
  // IFD_COMMUNICATION_ERROR when it opened but no reader started on it.
  static std::shared_ptr<Channel> Open(const std::string& device, Response* error,
                                       const host::Host::Options& options = {});
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  const std::string& device() const { return device_; }

  // IFD_SUCCESS (card in), IFD_ICC_NOT_PRESENT, or IFD_COMMUNICATION_ERROR (the reader away,
  // closed or not answering: pcscd shows it unavailable).
  // A removal the card wait saw is reported even if a card is back already, until the next
  // card wait after pcscd was told, so that pcscd sees the card it had go away and the new
  // one come.
  Response Presence();
  // action: IFD_POWER_UP (cold reset), IFD_RESET (warm reset), IFD_POWER_DOWN.
  Response Power(unsigned long action, std::vector<std::uint8_t>* atr);
  // mask: 1 T=0, 2 T=1 (one of them).
  Response SetProtocol(std::uint32_t mask);
  // mask: the protocol the command is for (1 T=0, 2 T=1). Short and extended APDUs under T=1;
  // under T=0 short ones only (IFD_PROTOCOL_NOT_SUPPORTED for an extended one, sent nowhere).
  // The response is given room for what the APDU can return (host::ResponseRoom).
  Response Transmit(std::uint32_t mask, std::span<const std::uint8_t> command,
                    std::vector<std::uint8_t>* response);
  // The driver's attribute `tag`; IFD_ERROR_TAG for one it does not have.
  Response Attribute(std::uint32_t tag, std::vector<std::uint8_t>* value);
  Response SetAttribute(std::uint32_t tag, std::span<const std::uint8_t> value);
  // A control request the handler passes on (the reader's versions request).
  Response Control(std::uint32_t code, std::span<const std::uint8_t> input, std::size_t output_size,
                   std::vector<std::uint8_t>* output);

  // The card wait of pcscd's polling thread: returns IFD_SUCCESS when the card went in or out
  // since pcscd last asked for its presence (at once if it has already), when the device went
  // away or the reader came back, when StopWaiting ended the wait, or when the time ran out;
  // an error when the channel is closed or the driver refused the wait. With the reader away
  // it is where the device is tried again.
  Response WaitForChange(int timeout_ms);
  // Ends the card wait in flight at once; with none in flight, the next one returns at once.
  void StopWaiting();

  // Ends the card wait, closes the reader and stops the host. Idempotent.
  void Close();

 private:
  struct Started {
    std::unique_ptr<host::Host> host;
    std::unique_ptr<host::Reader> reader;
    Response error = 0;  // an IFD_* code, when there is no reader
    std::string why;     // for the log, when there is no reader
  };
  // A Host with the driver on `device`, its line tapped by `trace` if given, and its reader
  // opened.
  static Started Start(const std::string& device, const host::Host::Options& options,
                       host::WireTrace* trace);
  // The trace of the line that TOLVEX_LOG=wire and TOLVEX_TRACE_FILE ask for; null for none.
  static std::unique_ptr<host::WireTrace> MakeTrace(const std::string& device);

  Channel(std::string device, host::Host::Options options);
  // True when the device file has gone away (a pseudo-terminal whose master closed, a USB
  // serial adapter pulled).
  bool DeviceGone() const;
  // The device gone, or the line of the Host's port hung up. Under io_, or on the card wait.
  bool Gone() const;
  // A call saw the device gone: the card wait, if one runs, is ended to stop the Host.
  void NoticeGone();
  // On the card wait: closes the reader and makes the channel away. Its Host is stopped (which
  // closes the device) at the start of the next card wait, which pcscd makes right after it
  // has asked for the presence, so that the wait ends at once and pcscd learns first.
  void GoAway();
  // On the card wait, or in Close: stops the Host of a reader gone away, if there is one.
  void StopOldHost();
  // On the card wait, with the reader away: tries the device until a reader answers there (the
  // channel back: true), `end` comes, or a stop or the close ends the wait.
  bool ComeBack(std::chrono::steady_clock::time_point end);
  // Under io_: IFD_SUCCESS with a reader on a device that is there; else the answer of a call
  // (IFD_NO_SUCH_DEVICE with the reader away or the device gone, IFD_COMMUNICATION_ERROR once
  // closed).
  Response Unavailable();
  // The response for a failed request: the card is out (or went out while the request ran:
  // `removals` is removals_ from before it), the device is gone, or `otherwise`.
  Response Failure(host::Status status, unsigned removals, Response otherwise);
  host::Reader* reader() { return reader_.get(); }

  const std::string device_;
  const host::Host::Options options_;

  std::mutex io_;
  std::unique_ptr<host::Host> host_;
  std::unique_ptr<host::Reader> reader_;
  bool away_ = false;
  std::unique_ptr<host::Host> stopping_;  // the Host of a reader gone away, to be stopped
  // The line's trace, across every Host of the channel; finished once they are stopped.
  std::unique_ptr<host::WireTrace> trace_;
  std::chrono::milliseconds pause_ = kRetryPause;  // the card wait's, between tries

  std::mutex poll_mutex_;
  std::condition_variable poll_ended_;
  std::condition_variable woken_;  // a pause between tries ended early: a stop or the close
  host::Request* waiting_ = nullptr;
  bool polling_ = false;
  bool stop_pending_ = false;
  bool closed_ = false;

  // What pcscd was last told: -1 nothing yet, 0 no card, 1 card.
  std::atomic<int> reported_{-1};
  // The card wait saw the card go out; Presence reports the card out until the next card
  // wait after that report.
  std::atomic<bool> removal_seen_{false};
  // A call saw the device gone (or the driver's reader torn down): the card wait stops the
  // Host at its next step.
  std::atomic<bool> gone_noticed_{false};
  // How many times the card wait saw the card go out. A request that fails after the count
  // moved failed because the card was pulled, whatever the driver says of the card later.
  std::atomic<unsigned> removals_{0};
};

class ChannelTable {
 public:
  // The one table of the process, never destroyed.
  static ChannelTable& Get();

  // Opens a channel for `lun` on `device`; IFD_COMMUNICATION_ERROR for a Lun already open or
  // being opened, a slot other than 0, or a full table.
  Response Create(std::uint64_t lun, const std::string& device);
  // The channel of `lun`, or null.
  std::shared_ptr<Channel> Find(std::uint64_t lun);
  // Closes and forgets the channel of `lun`; IFD_COMMUNICATION_ERROR if there is none.
  Response Close(std::uint64_t lun);
  std::size_t size();
  // The options of the hosts of channels opened from now on. pcscd never sets them (a real
  // reader keeps its pauses); the fuzzing of the entry points skips the pauses with them.
  void SetHostOptions(const host::Host::Options& options);

 private:
  ChannelTable() = default;
  std::mutex mutex_;
  host::Host::Options host_options_;
  std::map<std::uint64_t, std::shared_ptr<Channel>> channels_;  // by reader number
  std::set<std::uint64_t> opening_;
};

}  // namespace tolvex::ifd
