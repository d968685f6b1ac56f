#include "pcsc/channel.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "pcsc/ifd.h"
#include "pcsc/log.h"

namespace tolvex::ifd {

namespace {

using host::CardState;
using host::Status;

// The driver's statuses the handler tells apart.
using host::status::kBufferTooSmall;
using host::status::kCancelled;
using host::status::kInvalidDeviceRequest;
using host::status::kInvalidDeviceState;
using host::status::kInvalidParameter;
using host::status::kNoMedia;
using host::status::kNoSuchDevice;
using host::status::kNotSupported;
using host::status::kObjectNameNotFound;
using host::status::kSuccess;
using host::status::kTimeout;

constexpr std::uint32_t kAttrAtr = 0x00090303;  // SCARD_ATTR_ATR_STRING

// How often a card wait looks whether the device is still there.
constexpr std::chrono::milliseconds kDeviceCheck{500};

bool CardIn(CardState state) {
  return state >= CardState::kPresent;
}

}  // namespace

std::optional<std::string> ChannelDevice(std::uint64_t channel) {
  std::uint64_t port = channel;
  if ((channel >> 16) == 0x0001) {  // serial channel type, channel number below
    port = channel & 0xFFFF;
    switch (port) {
      case 0x3F8:
        port = 0;
        break;
      case 0x2F8:
        port = 1;
        break;
      case 0x3E8:
        port = 2;
        break;
      case 0x2E8:
        port = 3;
        break;
      default:
        break;
    }
  }
  if (port > 255) return std::nullopt;
  return "/dev/ttyS" + std::to_string(port);
}

// ---------------------------------------------------------------------------------------------
// Channel

Channel::Channel(std::string device, host::Host::Options options)
    : device_(std::move(device)), options_(options) {}

Channel::~Channel() {
  Close();
}

std::unique_ptr<host::WireTrace> Channel::MakeTrace(const std::string& device) {
  const bool wire = LogVerbosity() >= Verbosity::kWire;
  std::shared_ptr<std::FILE> file;
  if (!TraceFile().empty()) {
    file.reset(std::fopen(TraceFile().c_str(), "ae"), std::fclose);
    if (!file) {
      Log(kLogError, "%s: the trace file %s cannot be written: %s", device.c_str(),
          TraceFile().c_str(), std::strerror(errno));
    }
  }
  if (!wire && !file) return nullptr;
  return std::make_unique<host::WireTrace>([device, wire, file](const host::TraceLine& line) {
    if (wire)
      Tell(Verbosity::kWire, "%s: %s", device.c_str(), host::TraceText(line.at, line.text).c_str());
    if (file) {
      const std::string json = host::TraceJson(line, device) + "\n";
      (void)std::fwrite(json.data(), 1, json.size(), file.get());
      (void)std::fflush(file.get());
    }
  });
}

Channel::Started Channel::Start(const std::string& device, const host::Host::Options& options,
                                host::WireTrace* trace) {
  Started started;
  auto host = std::make_unique<host::Host>(options);
  host->AddDevicePort(0, device);
  if (trace != nullptr) host->Tap(0, trace->Observer(0));
  const Status status = host->Start();
  bool running = false;
  for (unsigned index : host->Readers()) running = running || index == 0;
  if (!running) {
    // Why: the device did not open (missing, busy, no serial device), or nothing answered.
    const Status opened = host->ProbePort(0);
    (void)host->Stop();
    started.error = IFD_COMMUNICATION_ERROR;
    if (opened == kObjectNameNotFound || opened == kNoSuchDevice) {
      started.error = IFD_NO_SUCH_DEVICE;
      started.why = "no serial device there (" + host::StatusName(opened) + ")";
    } else if (opened != kSuccess) {
      started.why = "cannot be opened (" + host::StatusName(opened) + ")";
    } else {
      // The device opens but the reader did not start: the driver's start says no more than
      // that (it does not pass on why), and neither does the command.
      started.why = "no reader started (" + host::StatusName(status) + ")";
    }
    return started;
  }
  auto [opening, reader] = host::Reader::Open(*host, 0);
  if (!reader) {
    (void)host->Stop();
    started.error = IFD_COMMUNICATION_ERROR;
    started.why = "the reader could not be opened (" + host::StatusName(opening) + ")";
    return started;
  }
  started.host = std::move(host);
  started.reader = std::move(reader);
  return started;
}

std::shared_ptr<Channel> Channel::Open(const std::string& device, Response* error,
                                       const host::Host::Options& options) {
  std::unique_ptr<host::WireTrace> trace = MakeTrace(device);
  Started started = Start(device, options, trace.get());
  if (!started.reader) {
    Log(kLogError, "%s: %s", device.c_str(), started.why.c_str());
    *error = started.error;
    return nullptr;
  }
  if (const auto [asked, versions] = started.reader->Versions(); asked == kSuccess) {
    Log(kLogInfo, "%s: reader firmware %u.%u, driver %u.%u", device.c_str(),
        versions.firmware_major, versions.firmware_minor, versions.driver_major,
        versions.driver_minor);
    Tell(Verbosity::kInfo, "%s: reader started, firmware %u.%u, driver %u.%u", device.c_str(),
         versions.firmware_major, versions.firmware_minor, versions.driver_major,
         versions.driver_minor);
  }
  std::shared_ptr<Channel> channel(new Channel(device, options));
  channel->trace_ = std::move(trace);
  channel->host_ = std::move(started.host);
  channel->reader_ = std::move(started.reader);
  *error = IFD_SUCCESS;
  return channel;
}

void Channel::Close() {
  {
    std::unique_lock lock(poll_mutex_);
    closed_ = true;
    if (waiting_ != nullptr) waiting_->Cancel();
    woken_.notify_all();
    poll_ended_.wait(lock, [this] { return !polling_; });
  }
  std::lock_guard lock(io_);
  reader_.reset();
  away_ = false;
  StopOldHost();
  if (host_) {
    (void)host_->Stop();
    host_.reset();
  }
  trace_.reset();  // every Host of the channel is stopped: nothing more comes to it
}

Response Channel::Unavailable() {
  if (!reader_) return away_ ? IFD_NO_SUCH_DEVICE : IFD_COMMUNICATION_ERROR;
  if (!Gone()) return IFD_SUCCESS;
  NoticeGone();
  return IFD_NO_SUCH_DEVICE;
}

bool Channel::DeviceGone() const {
  struct stat info {};
  if (stat(device_.c_str(), &info) != 0) return errno == ENOENT || errno == ENOTDIR;
  return !S_ISCHR(info.st_mode);
}

bool Channel::Gone() const {
  return DeviceGone() || (host_ && host_->LineGone(0));
}

void Channel::NoticeGone() {
  gone_noticed_.store(true);
  std::lock_guard lock(poll_mutex_);
  if (waiting_ != nullptr) waiting_->Cancel();
}

void Channel::GoAway() {
  bool data_set_ready = false;
  {
    std::lock_guard lock(io_);
    reader_.reset();
    data_set_ready = !DeviceGone() && host_ && host_->Lost(0) == host::LineLoss::kDataSetReady;
    stopping_ = std::move(host_);
    away_ = true;
  }
  pause_ = kRetryPause;
  Log(kLogError, "%s: the reader is gone (%s); trying it again", device_.c_str(),
      data_set_ready ? "its data-set-ready line changed: unplugged or switched off"
                     : "its serial device went away");
}

void Channel::StopOldHost() {
  if (!stopping_) return;
  (void)stopping_->Stop();
  stopping_.reset();
}

bool Channel::ComeBack(std::chrono::steady_clock::time_point end) {
  using Clock = std::chrono::steady_clock;
  for (;;) {
    // A device file that is not there is looked for again soon; a start that failed, after a
    // pause that grows.
    std::chrono::milliseconds pause = kRetryPause;
    if (!DeviceGone()) {
      pause = pause_;
      pause_ = std::min(pause_ * 2, kRetryPauseMax);
      Started started = Start(device_, options_, trace_.get());
      if (started.reader) {
        std::lock_guard lock(io_);
        host_ = std::move(started.host);
        reader_ = std::move(started.reader);
        away_ = false;
        reported_.store(-1);
        removal_seen_.store(false);
        gone_noticed_.store(false);  // what calls saw of the device before it went
        Log(kLogError, "%s: the reader is back", device_.c_str());
        return true;
      }
      Log(kLogDebug, "%s: not back yet: %s", device_.c_str(), started.why.c_str());
    }
    // The next try after the pause, unless the time runs out first or a stop or the close
    // comes.
    const auto next = std::min(Clock::now() + pause, end);
    std::unique_lock lock(poll_mutex_);
    if (woken_.wait_until(lock, next, [this] { return stop_pending_ || closed_; })) {
      stop_pending_ = false;
      return false;
    }
    if (Clock::now() >= end) return false;
  }
}

Response Channel::Failure(Status status, unsigned removals, Response otherwise) {
  if (status == kNoMedia || removals_.load() != removals) return IFD_ICC_NOT_PRESENT;
  // The device gone, or the driver's reader torn down under the request.
  if (status == kNoSuchDevice || Gone()) {
    NoticeGone();
    return IFD_NO_SUCH_DEVICE;
  }
  if (!reader_) return otherwise;
  const auto [asked, state] = reader_->State();
  return asked == kSuccess && !CardIn(state) ? IFD_ICC_NOT_PRESENT : otherwise;
}

Response Channel::Presence() {
  // Any answer but the card's presence or absence makes pcscd show the reader unavailable and
  // ask again on its next round. Not IFD_NO_SUCH_DEVICE: for that one pcscd also sends itself
  // a hot-plug signal and sleeps a second, on every round.
  std::lock_guard lock(io_);
  if (Unavailable() != IFD_SUCCESS) return IFD_COMMUNICATION_ERROR;
  const auto [status, state] = reader_->State();
  if (status == kNoSuchDevice) NoticeGone();
  if (status != kSuccess) return IFD_COMMUNICATION_ERROR;
  // The card went out while pcscd was not looking, and maybe came back (a card swapped): say
  // it went out until pcscd's next card wait, however often it asks before it: its event
  // thread's power-down of an idle card asks too, before the question that updates the
  // reader's state.
  const bool present = CardIn(state) && !removal_seen_.load();
  if (reported_.exchange(present ? 1 : 0) != (present ? 1 : 0)) {
    Tell(Verbosity::kInfo, "%s: card %s", device_.c_str(), present ? "in" : "out");
  }
  Log(kLogDebug, "%s: card %s (state %u)", device_.c_str(), present ? "in" : "out",
      static_cast<unsigned>(state));
  return present ? IFD_SUCCESS : IFD_ICC_NOT_PRESENT;
}

Response Channel::Power(unsigned long action, std::vector<std::uint8_t>* atr) {
  host::Power power;
  switch (action) {
    case IFD_POWER_UP:
      power = host::Power::kColdReset;
      break;
    case IFD_RESET:
      power = host::Power::kWarmReset;
      break;
    case IFD_POWER_DOWN:
      power = host::Power::kDown;
      break;
    default:
      return IFD_NOT_SUPPORTED;
  }
  std::lock_guard lock(io_);
  atr->clear();
  if (const Response unavailable = Unavailable(); unavailable != IFD_SUCCESS) return unavailable;
  const unsigned removals = removals_.load();
  auto [status, answer] = reader_->PowerCard(power);
  if (status != kSuccess) return Failure(status, removals, IFD_ERROR_POWER_ACTION);
  if (answer.size() > MAX_ATR_SIZE) return IFD_ERROR_POWER_ACTION;
  if (power != host::Power::kDown) *atr = std::move(answer);
  return IFD_SUCCESS;
}

Response Channel::SetProtocol(std::uint32_t mask) {
  if (mask != SCARD_PROTOCOL_T0 && mask != SCARD_PROTOCOL_T1) return IFD_PROTOCOL_NOT_SUPPORTED;
  std::lock_guard lock(io_);
  if (const Response unavailable = Unavailable(); unavailable != IFD_SUCCESS) return unavailable;
  const unsigned removals = removals_.load();
  const auto [status, selected] = reader_->SetProtocol(mask);
  if (status == kSuccess && selected == mask) {
    Tell(Verbosity::kInfo, "%s: protocol T=%d", device_.c_str(), mask == SCARD_PROTOCOL_T1 ? 1 : 0);
  }
  if (status == kSuccess) return selected == mask ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
  // The card or the reader does not speak it; anything else is a failed negotiation.
  if (status == kInvalidDeviceRequest || status == kNotSupported) {
    return IFD_PROTOCOL_NOT_SUPPORTED;
  }
  return Failure(status, removals, IFD_COMMUNICATION_ERROR);
}

Response Channel::Transmit(std::uint32_t mask, std::span<const std::uint8_t> command,
                           std::vector<std::uint8_t>* response) {
  std::lock_guard lock(io_);
  response->clear();
  if (const Response unavailable = Unavailable(); unavailable != IFD_SUCCESS) return unavailable;
  // The reader's T=0 path carries short APDUs only.
  if (mask == SCARD_PROTOCOL_T0 && host::IsExtendedApdu(command)) return IFD_PROTOCOL_NOT_SUPPORTED;
  const unsigned removals = removals_.load();
  const std::size_t room = host::ResponseRoom(command);
  auto [status, answer] = reader_->Transmit(mask, command, room);
  if (status == kSuccess) {
    if (answer.size() < 2 || answer.size() > room) {
      return IFD_COMMUNICATION_ERROR;  // no status word, or more than was room for
    }
    *response = std::move(answer);
    return IFD_SUCCESS;
  }
  if (status == kBufferTooSmall) return IFD_ERROR_INSUFFICIENT_BUFFER;
  // The protocol asked for is not the one in force.
  if (status == kInvalidDeviceRequest) return IFD_PROTOCOL_NOT_SUPPORTED;
  return Failure(status, removals, IFD_COMMUNICATION_ERROR);
}

Response Channel::Attribute(std::uint32_t tag, std::vector<std::uint8_t>* value) {
  std::lock_guard lock(io_);
  value->clear();
  if (const Response unavailable = Unavailable(); unavailable != IFD_SUCCESS) return unavailable;
  const unsigned removals = removals_.load();
  auto [status, answer] = reader_->Attribute(tag);
  if (status == kSuccess) {
    *value = std::move(answer);
    return IFD_SUCCESS;
  }
  if (status == kNotSupported || status == kInvalidDeviceRequest || status == kInvalidParameter) {
    return IFD_ERROR_TAG;
  }
  // The ATR of a card that is not powered: there is none.
  if (status == kInvalidDeviceState && tag == kAttrAtr) return IFD_SUCCESS;
  if (status == kBufferTooSmall) return IFD_ERROR_INSUFFICIENT_BUFFER;
  return Failure(status, removals, IFD_COMMUNICATION_ERROR);
}

Response Channel::SetAttribute(std::uint32_t tag, std::span<const std::uint8_t> value) {
  // The driver's set-attribute request: the tag, then the value.
  constexpr std::uint32_t kSetAttribute = 0x0031000C;
  std::vector<std::uint8_t> input(4);
  std::memcpy(input.data(), &tag, 4);
  input.insert(input.end(), value.begin(), value.end());
  std::lock_guard lock(io_);
  if (const Response unavailable = Unavailable(); unavailable != IFD_SUCCESS) return unavailable;
  const unsigned removals = removals_.load();
  const Status status = reader_->Control(kSetAttribute, input, 0).status;
  if (status == kSuccess) return IFD_SUCCESS;
  if (status == kNotSupported || status == kInvalidDeviceRequest || status == kInvalidParameter) {
    return IFD_ERROR_TAG;
  }
  return Failure(status, removals, IFD_ERROR_SET_FAILURE);
}

Response Channel::Control(std::uint32_t code, std::span<const std::uint8_t> input,
                          std::size_t output_size, std::vector<std::uint8_t>* output) {
  std::lock_guard lock(io_);
  output->clear();
  if (const Response unavailable = Unavailable(); unavailable != IFD_SUCCESS) return unavailable;
  const unsigned removals = removals_.load();
  auto [status, answer] = reader_->Control(code, input, output_size);
  if (status == kSuccess) {
    if (answer.size() > output_size) answer.resize(output_size);
    *output = std::move(answer);
    return IFD_SUCCESS;
  }
  if (status == kBufferTooSmall) return IFD_ERROR_INSUFFICIENT_BUFFER;
  if (status == kInvalidDeviceRequest || status == kNotSupported) return IFD_ERROR_NOT_SUPPORTED;
  return Failure(status, removals, IFD_COMMUNICATION_ERROR);
}

// ---------------------------------------------------------------------------------------------
// The card wait

Response Channel::WaitForChange(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  std::unique_lock lock(poll_mutex_);
  if (closed_) return IFD_COMMUNICATION_ERROR;
  if (stop_pending_) {
    stop_pending_ = false;
    return IFD_SUCCESS;
  }
  if (polling_) return IFD_COMMUNICATION_ERROR;  // one wait at a time
  polling_ = true;
  lock.unlock();
  // pcscd asks for the presence before each card wait: once it was told the card is out, the
  // removal is taken in.
  if (reported_.load() == 0) removal_seen_.store(false);

  // From here on Close waits for this call to end (polling_), and only this call changes
  // host_ and reader_: they stay as they are unless it changes them.
  Response result = IFD_SUCCESS;
  StopOldHost();
  if (!reader_) {
    (void)ComeBack(end);  // back or not, pcscd looks again
  } else if (gone_noticed_.exchange(false) || Gone()) {
    GoAway();
  } else {
    // Wait for the card to be the other way from what pcscd was last told.
    int reported = reported_.load();
    if (reported < 0) {
      const auto [asked, state] = reader_->State();
      reported = asked == kSuccess && CardIn(state) ? 1 : 0;
    }
    const host::CardWait until = reported == 0 ? host::CardWait::kPresent : host::CardWait::kAbsent;
    std::unique_ptr<host::Request> request = reader_->StartWaitForCard(until);
    lock.lock();
    if (request && (stop_pending_ || closed_)) {
      stop_pending_ = false;
      request->Cancel();
    } else if (request) {
      waiting_ = request.get();
    }
    lock.unlock();
    if (!request) {
      result = IFD_COMMUNICATION_ERROR;
    } else {
      // The driver cannot tell that the device went away (its card events just stop), so the
      // wait looks at the device between slices, and when a call that saw it gone ends it.
      bool gone = false;
      Status status = kTimeout;
      for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        status = request->Wait(std::clamp(left, std::chrono::milliseconds(0), kDeviceCheck));
        gone = gone_noticed_.exchange(false) || Gone();
        if (status != kTimeout) break;
        if (gone || Clock::now() >= end) {
          request->Cancel();
          status = request->Wait();
          break;
        }
      }
      lock.lock();
      waiting_ = nullptr;
      lock.unlock();
      if (status == kSuccess) {
        if (until == host::CardWait::kAbsent) {
          removal_seen_.store(true);
          removals_.fetch_add(1);
        }
      } else if (gone || status == kNoSuchDevice) {
        GoAway();
      } else if (status != kCancelled) {
        result = IFD_COMMUNICATION_ERROR;
      }
      // Cancelled: stopped, or the time ran out; pcscd looks again.
    }
  }

  lock.lock();
  polling_ = false;
  lock.unlock();
  poll_ended_.notify_all();
  Log(kLogDebug, "%s: card wait (%d ms) ended: %ld", device_.c_str(), timeout_ms, result);
  return result;
}

void Channel::StopWaiting() {
  std::lock_guard lock(poll_mutex_);
  if (waiting_ != nullptr) {
    waiting_->Cancel();
  } else {
    stop_pending_ = true;
    woken_.notify_all();
  }
}

// ---------------------------------------------------------------------------------------------
// ChannelTable

ChannelTable& ChannelTable::Get() {
  static ChannelTable* table = new ChannelTable();  // never destroyed: see channel.h
  return *table;
}

Response ChannelTable::Create(std::uint64_t lun, const std::string& device) {
  if ((lun & 0xFFFF) != 0) return IFD_COMMUNICATION_ERROR;  // one slot: slot 0
  const std::uint64_t number = lun >> 16;
  host::Host::Options options;
  {
    std::lock_guard lock(mutex_);
    if (channels_.count(number) != 0 || opening_.count(number) != 0) {
      return IFD_COMMUNICATION_ERROR;
    }
    if (channels_.size() + opening_.size() >= kMaxChannels) return IFD_COMMUNICATION_ERROR;
    opening_.insert(number);
    options = host_options_;
  }
  Response error = IFD_COMMUNICATION_ERROR;
  std::shared_ptr<Channel> channel = Channel::Open(device, &error, options);
  std::lock_guard lock(mutex_);
  opening_.erase(number);
  if (!channel) return error;
  channels_[number] = std::move(channel);
  return IFD_SUCCESS;
}

void ChannelTable::SetHostOptions(const host::Host::Options& options) {
  std::lock_guard lock(mutex_);
  host_options_ = options;
}

std::shared_ptr<Channel> ChannelTable::Find(std::uint64_t lun) {
  if ((lun & 0xFFFF) != 0) return nullptr;
  std::lock_guard lock(mutex_);
  auto it = channels_.find(lun >> 16);
  return it == channels_.end() ? nullptr : it->second;
}

Response ChannelTable::Close(std::uint64_t lun) {
  if ((lun & 0xFFFF) != 0) return IFD_COMMUNICATION_ERROR;
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard lock(mutex_);
    auto it = channels_.find(lun >> 16);
    if (it == channels_.end()) return IFD_COMMUNICATION_ERROR;
    channel = std::move(it->second);
    channels_.erase(it);
  }
  channel->Close();
  Log(kLogInfo, "%s: closed", channel->device().c_str());
  Tell(Verbosity::kInfo, "%s: reader stopped", channel->device().c_str());
  return IFD_SUCCESS;
}

std::size_t ChannelTable::size() {
  std::lock_guard lock(mutex_);
  return channels_.size() + opening_.size();
}

}  // namespace tolvex::ifd
