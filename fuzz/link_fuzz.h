// What the driver fuzz targets share: one link bench per process (tests/support's), a responder
// answering the host's frames as the reader would, and link and card put back in the same state
// before every input, with short waits (1 ms), so that a read left unanswered costs little.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "driver/card/card.h"
#include "driver/frame/frame.h"
#include "driver/link/link.h"
#include "driver/stc/stc.h"
#include "input.h"
#include "platform/platform.h"
#include "support/card_bench.h"
#include "support/link_bench.h"

namespace tolvex::fuzz {

using Bytes = std::vector<UCHAR>;

inline constexpr ULONG kFastTotal = 1;         // ms: the link's read wait between inputs
inline constexpr size_t kNoDamage = SIZE_MAX;  // no damaged character in a stream

// The reader's answer: its 90, the card's bytes relayed (the one at `damaged` as its
// damaged-character report instead), then the escape and `end`.
inline Bytes ReaderStream(const Bytes& card, size_t damaged, UCHAR end) {
  Bytes wire{STC_OK};
  for (size_t i = 0; i < card.size(); ++i) {
    const Bytes one =
        i == damaged ? Bytes{STC_ESCAPE, STC_CHARACTER_ERROR} : testutil::Relayed(Bytes{card[i]});
    wire.insert(wire.end(), one.begin(), one.end());
  }
  wire.insert(wire.end(), {STC_ESCAPE, end});
  return wire;
}

// The driver's reset command to the reader.
inline bool IsReset(std::span<const UCHAR> frame) {
  return frame.size() == 2 && frame[0] == (STC_WRITE_REGISTER | STC_RESET_REGISTER) &&
         frame[1] == STC_RESET_CARD;
}

class FuzzLink {
 public:
  // Answers one frame of the host; an empty answer is silence.
  using Responder = std::function<Bytes(std::span<const UCHAR> frame)>;

  FuzzLink() {
    platform::PlatformScope scope(bench_.platform());
    baseline_ = bench_.platform().pool().OutstandingAllocations();
    bench_.line().SetListener([this](std::span<const UCHAR> frame) { HostWrote(frame); });
    Check(bench_.Start() == STATUS_SUCCESS, "the link bench starts");
    testutil::SetUpSmartcard(bench_.smartcard(), request_, reply_);
    bench_.smartcard()->IoRequest.Information = &information_;
  }

  ~FuzzLink() {
    bench_.Stop();
    platform::PlatformScope scope(bench_.platform());
    bench_.platform().DrainWorkQueue();
    Check(bench_.platform().pool().OutstandingAllocations() == baseline_,
          "nothing of the link's pool memory is left once it is stopped");
  }

  host::LinkBench& bench() { return bench_; }
  PREADER_EXTENSION reader() { return bench_.reader(); }
  PSMARTCARD_EXTENSION smartcard() { return bench_.smartcard(); }
  ULONG_PTR& information() { return information_; }

  // The start of an input, `responder` answering the host's frames. The caller holds a
  // PlatformScope.
  void Begin(Responder responder) {
    Quiet();
    {
      std::lock_guard lock(mutex_);
      responder_ = std::move(responder);
    }
    frames_seen_.store(0);
    writes_ = 0;
    PREADER_EXTENSION r = reader();
    {
      platform::SpinLockGuard lock(&r->ReceiveLock);
      std::memset(r->ReceiveBuffer, 0, sizeof(r->ReceiveBuffer));
      r->ReceivedCount = 0;
      r->ExpectedCount = NOBODY_WAITS;
      r->BlockEndWaits = FALSE;
      r->WakeOwed = FALSE;
      r->AnswerPending = FALSE;
      r->ExchangeEnd = STATUS_SUCCESS;
      r->PurgePending = FALSE;
      r->EscapePending = FALSE;  // no pass runs
      r->CharacterErrorStatus = STATUS_SUCCESS;
      r->BlockEndStatus = STATUS_IO_TIMEOUT;
      r->ReadIntervalTimeout = 0;
      r->ReadTotalTimeout = kFastTotal;
    }
    KeClearEvent(&r->DataEvent);
    PSMARTCARD_EXTENSION card = smartcard();
    platform::SharedStore(card->T1.Wtx, UCHAR{0});
    platform::SharedStore(card->ReaderCapabilities.CurrentState, SCARD_SWALLOWED);
    SCARD_CARD_CAPABILITIES& caps = card->CardCapabilities;
    std::memset(&caps, 0, sizeof(caps));
    caps.ClockRateConversion = ClockRateConversion;
    caps.BitRateAdjustment = BitRateAdjustment;
    card->MinorIoControlCode = 0;
    information_ = 0;
    SERIAL_TIMEOUTS timeouts{1, 0, 1, 0, 1000};  // short (CBSynchronizeCOMM sets the card's)
    Check(IFSerialIoctl(r, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr, 0) ==
              STATUS_SUCCESS,
          "the port takes its time-outs");
    allocations_ = bench_.platform().pool().OutstandingAllocations();
  }

  // The link's read wait (ms), nothing per byte.
  void SetWait(ULONG total) { platform::SharedStore(reader()->ReadTotalTimeout, total); }

  void CheckNobodyWaits() {
    platform::SpinLockGuard lock(&reader()->ReceiveLock);
    Check(reader()->ExpectedCount == NOBODY_WAITS && !reader()->BlockEndWaits,
          "nobody waits once the reads are over");
  }

  // The end of an input: quiet, nobody waiting, no pool memory left.
  void End() {
    Quiet();
    CheckNobodyWaits();
    Check(bench_.platform().pool().OutstandingAllocations() == allocations_,
          "an input leaves no pool memory behind");
    std::lock_guard lock(mutex_);
    responder_ = nullptr;
  }

  // Waits until every frame the host wrote has been answered, the port holds no received
  // byte and the listener is armed again (on the thread that drives the link).
  void Quiet() {
    for (const auto& request : bench_.port().Requests()) writes_ += request.major == IRP_MJ_WRITE;
    bench_.port().ClearRequests();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      bench_.platform().DrainWorkQueue();
      if (frames_seen_.load() == writes_ && bench_.port().receive_queue() == 0 &&
          bench_.port().has_pending_wait()) {
        break;
      }
      Check(std::chrono::steady_clock::now() < give_up, "the link comes to rest");
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    bench_.platform().DrainWorkQueue();
  }

 private:
  void HostWrote(std::span<const UCHAR> frame) {
    Bytes reply;
    {
      std::lock_guard lock(mutex_);
      if (responder_) reply = responder_(frame);
    }
    if (!reply.empty()) bench_.line().Send(reply);
    frames_seen_.fetch_add(1);
  }

  host::LinkBench bench_;
  size_t baseline_ = 0;
  size_t allocations_ = 0;
  ULONG_PTR information_ = 0;
  Bytes request_, reply_;  // the library's buffers
  std::mutex mutex_;
  Responder responder_;
  std::atomic<size_t> frames_seen_{0};
  size_t writes_ = 0;  // the host's writes since Begin
};

// The process's one bench, made on first use.
inline FuzzLink& Link() {
  static FuzzLink link;
  return link;
}

}  // namespace tolvex::fuzz
