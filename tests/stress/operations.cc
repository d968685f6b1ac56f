// The stress run's operations, and the draw of one by its share.
#include <fmt/format.h>

#include <algorithm>
#include <future>
#include <thread>

#include "stress.h"

namespace tolvex::stress {

void Stress::Operate() {
  static constexpr struct {
    const char* name;
    unsigned share;  // in percent
    void (Stress::*run)();
    std::chrono::seconds bound;
  } kOperations[] = {
      {"apdu", 80, &Stress::Apdu, kOperationLimit},  // a fault before kFaultShare percent of them
      {"reset", 6, &Stress::GoodReset, kOperationLimit},
      {"failed reset", 6, &Stress::FailedReset, kOperationLimit},
      {"card change", 5, &Stress::CardChange, kOperationLimit},
      {"tracking", 3, &Stress::Tracking, 4 * kCardWait},  // two waits, as long again to spare
  };
  auto roll = static_cast<unsigned>(Pick(100));
  const auto* operation = kOperations;
  while (roll >= operation->share) roll -= operation++->share;
  kind_ = operation->name;
  after_fault_ = !fault_.empty();
  fault_.clear();
  sim_->ClearTranscript();
  const auto start = std::chrono::steady_clock::now();
  (this->*operation->run)();
  sim_->ClearFaults();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (took > operation->bound) {
    Deviate("bound",
            fmt::format("took {:.1f} s, bound {} s", took.count(), operation->bound.count()));
  }
}

void Stress::Apdu() {
  if (Chance(kFaultShare)) return FaultyApdu();
  if (Ready()) RunExchanges("apdu", false);
}

void Stress::FaultyApdu() {
  // Besides the reader's and the card's faults below: the card refusing PTS, pulled out in the
  // middle of an exchange, asking for a smaller IFSC before a resynchronisation (T=1), and (on
  // the memory line) data-set-ready dropping.
  switch (Pick(line == LineKind::kMemory ? 21 : 20)) {
    case 0:
      return PtsRefused();
    case 1:
      return RemovalMidExchange();
    case 2:
      if (t1_) return IfsThenResynch();
      break;
    case 20:
      return DsrDrop();
    default:
      break;
  }
  if (!Ready()) return;
  // Rows 0-1 for either protocol, 2-5 for T=1 (stray bytes on the line are caught by its check
  // of every block; T=0 has none), 6-8 slow (they end by time-outs of seconds). The faults that
  // do not allow a failure are those the driver gets over.
  static constexpr struct {
    const char* command;  // {0} drawn from [from0, from0 + n0), {1} from [from1, from1 + n1)
    bool allows_failure;
    std::uint32_t from0, n0, from1, n1;
  } kFaults[] = {
      {"damage {}", true, 1, 12},
      {"no-block-end", false},  // the driver waits a little for the report, and goes on
      {"noise {} {}", true, 0, UINT32_MAX, 1, 3},
      {"wtx {:x} {}", false, 1, 3, 1, 2},  // the T=1 dialogue grants it
      {"ifs-request {:x}", false, 16, 200},
      {"card-parity", false},  // the card asks for the block again
      {"negative {:x}", true, 0x81, 4},
      {"silence", true},
      {"reader-error", true},
  };
  const auto& fault = Chance(kSlowShare) ? kFaults[6 + Pick(3)] : kFaults[Pick(t1_ ? 6 : 2)];
  Plant(fault.command, fault.from0 + Pick(fault.n0), fault.from1 + Pick(fault.n1));
  RunExchanges(fault_.c_str(), fault.allows_failure);
}

void Stress::GoodReset() {
  const bool warm = powered_ && Chance(50);
  if (!Reset(warm ? host::Power::kWarmReset : host::Power::kColdReset, warm ? "warm" : "cold"))
    return;
  // Then one exchange, so that the reset's protocol selection is tried too.
  if (Ready()) RunExchanges("apdu after reset", false);
}

void Stress::FailedReset() {
  // Only a mute card leaves the driver a wait to run out (for its first byte): the others end
  // each read by the reader's report or the card's bad TS, never on its own time.
  static constexpr struct {
    const char* command;  // {0} drawn from [from, from + n), {1} "t0 84" or nothing
    std::uint32_t from, n;
    Status expected;
    size_t may_run_out = 0;  // waits
  } kResets[] = {
      {"mute", 0, 0, STATUS_UNRECOGNIZED_MEDIA, 1},  // the slow one
      {"bad-ts {:#x}", 0x40, 0x20, STATUS_DATA_ERROR},
      {"short-atr early {1}", 0, 0, STATUS_UNRECOGNIZED_MEDIA},
      {"short-atr late {} {}", 1, 40, STATUS_UNRECOGNIZED_MEDIA},
  };
  const auto& reset = kResets[Chance(kSlowShare) ? 0 : 1 + Pick(3)];
  Plant(reset.command, reset.from + Pick(reset.n), Chance(50) ? "t0 84" : "");
  platform::Clock& clock = host_->platform().clock();
  clock.StartRecording();
  const Status status = reader_->PowerCard(host::Power::kColdReset).status;
  clock.StopRecording();
  // On the wire, right after the last reset command (83 1D): the reset's own power-off (84 00).
  // A failure before the reset command is not this operation's fault's doing.
  sim_->WaitIdle(5s);
  const auto frames = testutil::HostFrames(*sim_);
  const auto after = std::find(frames.rbegin(), frames.rend(), Bytes{0x83, 0x1D}).base();
  const bool due = after != frames.begin() && status == reset.expected;
  Failed(fmt::format("{} ({} due{})", fault_, StatusName(reset.expected),
                     after == frames.begin() ? ", failed before the reset command" : ""),
         status, due);
  if (!due) return;
  const std::string next = after == frames.end() ? "nothing" : Hex(*after);
  if (next != "84 00") Deviate(fault_, "after the reset command: " + next);
  if (const auto ran_out = clock.RanOutMs(std::this_thread::get_id());
      ran_out.size() > reset.may_run_out) {
    Deviate(fault_,
            fmt::format("{} waits ran out ({} ms)", ran_out.size(), fmt::join(ran_out, " ms, ")));
  }
}

void Stress::RemovalMidExchange() {
  if (!Ready(Chance(50))) return;
  fault_ = "removal mid-exchange";
  const Bytes data = RandomBytes(100 + Pick(156)), due = Wire("{} 90 00", Hex(data));
  auto exchange =
      std::async(std::launch::async, [&, apdu = Echo(data, 0)] { return Command(apdu); });
  std::this_thread::sleep_for(std::chrono::microseconds(Pick(t1_ ? 3000 : 30000)));
  sim_->RemoveCard();
  if (exchange.wait_for(kOperationLimit) != std::future_status::ready) {
    Deviate(fault_, "the exchange did not end");
    std::abort();  // it holds references to this frame
  }
  const auto [status, got] = exchange.get();
  if (status != STATUS_SUCCESS) Failed(fault_, status, true);
  if (status == STATUS_SUCCESS && got != due) {
    Deviate(fault_, "wrong answer: " + Hex(got) + ", not " + Hex(due));
  }
  Insert(model_);
  if (!Settle() || reader_->WaitForCard(host::CardWait::kPresent, kCardWait) != STATUS_SUCCESS) {
    Deviate(fault_, "the card put back was not seen");
  }
}

void Stress::PtsRefused() {
  // Once: the driver falls back to a cold reset and the card's default parameters and gets
  // there, or, for a card whose parameters are the defaults already (nothing to fall back to),
  // fails, and the application's next power-up finds the card accepting. Always: protocol
  // selection fails (the card switched off), as it must.
  const bool always = Chance(30);
  always ? Plant("pts-refuse always") : Plant("pts-refuse once");
  powered_ = false;
  after_fault_ = true;  // explains a failure of the selection to come
  bool ready = Ready();
  if (ready) after_fault_ = false;
  (void)sim::ApplyFault(*sim_, "pts-refuse", std::vector<std::string>{"off"});
  if (always) {
    if (ready) Deviate(fault_, "protocol selected though the card refuses every PTS");
    return;
  }
  if (!ready && !Ready()) return (void)Deviate(fault_, "no protocol after the card accepts again");
  RunExchanges("apdu after a refused PTS", false);
}

void Stress::IfsThenResynch() {
  // The card lowers its IFSC with its own S(IFS request); a failure then makes the host
  // resynchronise, which takes both sides back to the ATR's IFSC: every exchange after it,
  // long ones included, must go through.
  if (!Ready(/*t1_first=*/true) || !t1_) return;
  Plant("ifs-request {:x}", 8 + Pick(40));
  if (!RunExchanges(fault_.c_str(), false)) return;
  Plant("negative {:x}", 0x81 + Pick(4));
  (void)RunExchanges(fault_.c_str(), true);
  fault_ = "resynchronisation after an IFS request";
  if (Ready()) RunExchanges(fault_.c_str(), false);
}

void Stress::DsrDrop() {
  // Data-set-ready drops before the exchange or in the middle of it: the reader is gone (its
  // listener ends), and whatever the exchange gives must be right or a failure. Then the host
  // is stopped (no memory, threads or descriptors left) and started again, and must work.
  if (!Ready()) return;
  fault_ = "dsr-drop";
  if (Chance(50)) {
    sim_->SetDsr(false);
    RunExchanges(fault_.c_str(), true);
  } else {
    std::jthread drop([this, wait = Pick(20000)] {
      std::this_thread::sleep_for(std::chrono::microseconds(wait));
      sim_->SetDsr(false);
    });
    RunExchanges(fault_.c_str(), true);
  }
  StopHost();
  ++restarts_;
  // A start-up that fails is a deviation; the soak goes on with another, if one starts.
  for (int tries = 1; !StartHost(); ++tries) {
    Deviate(fault_, "the host did not start again");
    StopHost();
    if (tries == 3) std::abort();
  }
  if (!Ready()) return (void)Deviate(fault_, "no card after the host started again");
  RunExchanges("apdu after a restart", false);
}

void Stress::CardChange() {
  // Out and straight back in, or another card: the two reports come one right behind the other,
  // racing whatever the reader sends. Once the driver has taken in both, the card is there.
  const auto next = Chance(30) ? model_ : sim::CardModels()[Pick(sim::CardModels().size())];
  sim_->RemoveCard();
  Insert(next);
  if (!Settle()) Deviate("card change", "the reader's reports were not taken in");
  // Over a pseudo-terminal the last of the reports may still be on its way (Settle): there the
  // state has as long to come right as a wait for the card.
  auto read = reader_->State();
  auto right = [&] { return (read = reader_->State()).value >= host::CardState::kPresent; };
  if (line == LineKind::kPty) testutil::WaitUntil(right, kCardWait);
  const auto [asked, state] = read;
  if (asked != STATUS_SUCCESS || state < host::CardState::kPresent) {
    Deviate("card change", fmt::format("state {} with a card in", static_cast<int>(state)));
  }
  if (Ready()) RunExchanges("apdu after card change", false);
}

void Stress::Tracking() {
  // A tracking request is pending when the card goes; another when it comes back.
  for (const auto until : {host::CardWait::kAbsent, host::CardWait::kPresent}) {
    const auto request = reader_->StartWaitForCard(until);
    if (!request) return (void)Deviate("tracking", "no request");
    until == host::CardWait::kPresent ? Insert(model_) : sim_->RemoveCard();
    if (const Status status = request->Wait(kCardWait); status != STATUS_SUCCESS) {
      Deviate(until == host::CardWait::kPresent ? "insertion" : "removal", StatusName(status));
      request->Cancel();
      (void)request->Wait();
    }
  }
}

}  // namespace tolvex::stress
