// The stress run's operations: APDUs with and without faults, resets good and failed,
// removal in the middle of an exchange, card changes and card tracking.
#include <fmt/core.h>

#include "stress.h"

namespace tolvex::stress {

void Stress::Apdu() {
  if (Ready()) RunExchanges("apdu", false);
}

void Stress::FaultyApdu() {
  if (!Ready()) return;
  const bool slow = Chance(options_.slow_share);
  // Stray bytes on the serial line are caught by T=1's check of every block; T=0 has no
  // such check, and nothing could tell them from the card's. The faults that do not allow a
  // failure are those the driver gets over.
  enum Set { kAny, kT1, kSlow };
  struct Fault {
    const char* name;
    Set set;
    bool allows_failure;
    std::function<void()> apply;
  };
  const Fault faults[] = {
      {"damage", kAny, true, [&] { sim_->DamageCardByte(1 + static_cast<int>(Pick(12))); }},
      // The driver waits a little for the report, and goes on.
      {"no-block-end", kAny, false, [&] { sim_->SkipBlockEnd(1); }},
      {"noise", kT1, true,
       [&] {
         sim_->LineNoise(static_cast<std::uint32_t>(random_()), 1 + static_cast<int>(Pick(3)));
       }},
      {"wtx", kT1, false,  // the T=1 dialogue grants it
       [&] {
         sim_->WithCard([&](Card& c) {
           c.RequestWtx(static_cast<std::uint8_t>(1 + Pick(3)), 1 + static_cast<int>(Pick(2)));
         });
       }},
      {"ifs-request", kT1, false,
       [&] {
         sim_->WithCard([&](Card& c) { c.RequestIfs(static_cast<std::uint8_t>(16 + Pick(200))); });
       }},
      // The card asks for the block again.
      {"card-parity", kT1, false, [&] { sim_->WithCard([](Card& c) { c.DamageNextBlock(); }); }},
      {"negative", kSlow, true,
       [&] { sim_->NegativeAnswer(static_cast<std::uint8_t>(0x81 + Pick(4))); }},
      {"silence", kSlow, true, [&] { sim_->SilenceNextCommand(); }},
      {"reader-error", kSlow, true, [&] { sim_->ReaderErrorNext(); }},
  };
  std::vector<const Fault*> candidates;
  for (const Fault& fault : faults) {
    if (slow ? fault.set == kSlow : fault.set == kAny || (t1_ && fault.set == kT1)) {
      candidates.push_back(&fault);
    }
  }
  const Fault& fault = *candidates[Pick(candidates.size())];
  fault_ = fault.name;
  fault.apply();
  RunExchanges(fault_.c_str(), fault.allows_failure);
}

void Stress::GoodReset() {
  const bool warm = powered_ && Chance(50);
  const auto [status, atr] = reader_->PowerCard(warm ? Power::kWarmReset : Power::kColdReset);
  powered_ = false;
  if (status != STATUS_SUCCESS) {
    Unexplained("reset",
                fmt::format("{} reset failed with {}", warm ? "warm" : "cold", StatusName(status)));
    Failed(status);
    return;
  }
  (void)AtrIsTheCards("reset", atr);
  // Then one exchange, so that the reset's protocol selection is tried too.
  if (Ready()) RunExchanges("apdu after reset", false);
}

void Stress::FailedReset() {
  Status expected = STATUS_UNRECOGNIZED_MEDIA;
  std::optional<LONGLONG> ran_out;  // the one wait that may run out: TS's for a mute card
  if (Chance(options_.slow_share)) {
    fault_ = "mute";
    sim_->MuteAfterReset(1);
    ran_out = 120;
  } else if (const size_t which = Pick(3); which == 0) {
    fault_ = "bad-ts";
    sim_->BadTs(1, static_cast<std::uint8_t>(0x40 + Pick(0x20)));
    expected = STATUS_DATA_ERROR;
  } else {
    const bool late = which == 2;
    fault_ = late ? "short-atr late" : "short-atr early";
    sim_->ShortAtr(1, late ? ShortAtrReport::kLate : ShortAtrReport::kEarly,
                   milliseconds(late ? 1 + Pick(40) : 0),
                   Chance(50) ? std::optional<std::uint8_t>(0x84) : std::nullopt);
  }
  sim_->ClearTranscript();
  tolvex::platform::Clock& clock = host_->platform().clock();
  clock.StartRecording();
  const Status status = reader_->PowerCard(Power::kColdReset).status;
  clock.StopRecording();
  powered_ = false;
  Failed(status);
  // On the wire: the reset command, and right after it the reset's own power-off.
  sim_->WaitIdle(milliseconds(5000));
  auto frames = sim_->transcript().entries;
  std::erase_if(frames, [](const auto& entry) { return entry.origin() != Origin::kHost; });
  auto is_register = [](const TranscriptEntry& entry, int reg) {
    return entry.kind == EntryKind::kWriteRegister && entry.reg == reg;
  };
  // Just after the last reset command (register 3): the end when there is none.
  auto after = std::find_if(frames.rbegin(), frames.rend(), [&](const auto& entry) {
                 return is_register(entry, 3);
               }).base();
  if (after == frames.begin()) {
    // The reset failed before its command (this operation's fault never came into play).
    return Unexplained(fault_,
                       fmt::format("failed with {} before the reset command", StatusName(status)));
  }
  if (status != expected) {
    return Unexplained(
        fault_, fmt::format("{} where {} was due", StatusName(status), StatusName(expected)));
  }
  if (after == frames.end() || !is_register(*after, 4) || after->bytes != Bytes{0x00}) {
    Deviate(fault_, "after the reset command: " +
                        (after == frames.end() ? std::string("nothing") : after->ToString()));
  }
  // The read that ended the reset ended on the reader's report or the card's bad TS, never
  // on its own time; only a mute card's TS wait runs out.
  for (const LONGLONG wait : clock.RanOutMs(std::this_thread::get_id())) {
    if (ran_out != wait) Deviate(fault_, fmt::format("a wait of {} ms ran out", wait));
  }
}

void Stress::RemovalMidExchange() {
  if (!Ready(kModels[model_].t1)) return;
  fault_ = "removal mid-exchange";
  const Bytes data = RandomBytes(random_, 100 + Pick(156));
  const Bytes apdu = Echo(data, 0x00);
  const Bytes expected = Ok(data);
  const auto pause = std::chrono::microseconds(Pick(3000));
  auto exchange = std::async(std::launch::async, [&] {
    Bytes response;
    const Status status = Command(apdu, &response);
    return std::make_pair(status, response);
  });
  std::this_thread::sleep_for(pause);
  sim_->RemoveCard();
  if (exchange.wait_for(kBound) != std::future_status::ready) {
    Deviate(fault_, "the exchange did not end");
    std::abort();  // it holds references to this frame
  }
  const auto [status, response] = exchange.get();
  if (status == STATUS_SUCCESS && response != expected) {
    Deviate(fault_, fmt::format("gave {} where {} was due", Hex(response), Hex(expected)));
  } else if (status != STATUS_SUCCESS) {
    ErrorStatus(fault_, status);
  }
  Failed(status);
  Insert(model_);
  if (!Settle() ||
      reader_->WaitForCard(CardWait::kPresent, milliseconds(10000)) != STATUS_SUCCESS) {
    Deviate(fault_, "the card put back was not seen");
  }
}

void Stress::CardChange() {
  // Out and straight back in, or another card: the two reports come one right behind the
  // other, racing whatever the reader sends. Once the driver has taken in both, the card is
  // there.
  const size_t next = Chance(30) ? model_ : Pick(std::size(kModels));
  sim_->RemoveCard();
  Insert(next);
  if (!Settle()) Deviate("card change", "the reader's reports were not taken in");
  const auto [asked, state] = reader_->State();
  if (asked != STATUS_SUCCESS || state < tolvex::host::CardState::kPresent) {
    Deviate("card change", fmt::format("state {} with a card in", static_cast<int>(state)));
  }
  if (Ready()) RunExchanges("apdu after card change", false);
}

void Stress::Tracking() {
  // A tracking request is pending when the card goes; another when it comes back.
  for (const bool present : {false, true}) {
    const auto request =
        reader_->StartWaitForCard(present ? CardWait::kPresent : CardWait::kAbsent);
    if (!request) return Deviate("tracking", "no request");
    if (present) {
      Insert(model_);
    } else {
      sim_->RemoveCard();
      powered_ = false;
    }
    const Status status = request->Wait(milliseconds(10000));
    if (status != STATUS_SUCCESS) {
      Deviate("tracking", fmt::format("waiting for the card {}: {}", present ? "in" : "out",
                                      StatusName(status)));
      request->Cancel();
      (void)request->Wait();
    }
  }
}

}  // namespace tolvex::stress
