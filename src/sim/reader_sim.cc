#include "sim/reader_sim.h"

#include <algorithm>
#include <stdexcept>

namespace tolvex::sim {

namespace {

constexpr std::uint8_t kRegisterRevision = 0;
constexpr std::uint8_t kRegisterGuard = 1;
constexpr std::uint8_t kRegisterMode = 2;
constexpr std::uint8_t kRegisterReset = 3;
constexpr std::uint8_t kRegisterPower = 4;
constexpr std::uint8_t kRegisterCwt = 5;
constexpr std::uint8_t kResetCommand = 0x1D;

TranscriptEntry Entry(EntryKind kind, std::uint8_t code = 0, Bytes bytes = {},
                      std::string note = {}) {
  TranscriptEntry entry;
  entry.kind = kind;
  entry.code = code;
  entry.bytes = std::move(bytes);
  entry.note = std::move(note);
  return entry;
}

}  // namespace

ReaderSim::ReaderSim(Line line, ReaderOptions options)
    : line_(std::move(line)), options_(std::move(options)), start_(SimClock::now()) {
  if (options_.paced && options_.jitter) {
    throw std::invalid_argument("the simulated reader is paced or jittered, not both");
  }
  registers_[kRegisterRevision] = options_.firmware;
  if (options_.jitter) jitter_.emplace(*options_.jitter);
  if (options_.paced || options_.jitter) scheduler();
}

Scheduler& ReaderSim::scheduler() {
  if (!scheduler_) {
    std::optional<LineTiming> timing;
    if (options_.paced) timing = options_.timing;
    scheduler_ =
        std::make_unique<Scheduler>(timing, [this](LineItem item) { Delivered(std::move(item)); });
  }
  return *scheduler_;
}

ReaderSim::~ReaderSim() {
  scheduler_.reset();  // no deliveries from here on
}

// --- the host's side ---

void ReaderSim::HostWrote(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard lock(mutex_);
    const TimePoint now = SimClock::now();
    TimePoint first = now;
    ++epoch_;
    if (scheduler_) {
      // The host spoke before an end-of-block report was due (the character waiting time, a
      // late report, a jittered one): the report is not sent, so that nothing the reader says
      // about the card's last answer comes after its answer to this write.
      for (const LineItem& item : Withdraw(now, Withdrawal::kBlockEnds)) RecordWithdrawn(item, now);
    }
    if (options_.paced) first = timeline_.HostWrote(now, bytes.size(), options_.timing);
    std::vector<HostFrame> frames;
    parser_.Feed(bytes, frames);
    for (const HostFrame& frame : frames) {
      const TimePoint in =
          options_.paced ? first + options_.timing.SerialBytes(frame.end_offset + 1) : now;
      Frame(frame, in);
    }
  }
  Drain();
}

void ReaderSim::Frame(const HostFrame& frame, TimePoint at) {
  TranscriptEntry entry = HostEntry(frame);
  if (frame.kind == FrameKind::kBad) {
    Record(std::move(entry), at);
    return Answer(kAnswerBadFrame, at);
  }
  if (faults_.silence_next) {
    faults_.silence_next = false;
    entry.note = "fault: no answer";
    return Record(std::move(entry), at);
  }
  Record(std::move(entry), at);
  if (faults_.negative_answer) {
    const std::uint8_t answer = *faults_.negative_answer;
    faults_.negative_answer.reset();
    return Answer(answer, at, "fault: negative answer");
  }

  const std::uint8_t reg = frame.reg;
  switch (frame.kind) {
    case FrameKind::kWriteRegister: {
      if (reg == kRegisterRevision) return Answer(kAnswerBadFrame, at, "read-only register");
      std::uint32_t value = 0;
      for (std::size_t i = 0; i < frame.payload.size(); ++i) value |= frame.payload[i] << (8 * i);
      registers_[reg] = value;
      Answer(kAnswerOk, at);
      if (reg == kRegisterReset && value == kResetCommand) ResetCard(at);
      if (reg == kRegisterPower && value == 0 && card_ && card_->powered()) {
        StopCard(at);
        card_->PowerOff();
      }
      return;
    }
    case FrameKind::kReadRegister: {
      if (RegisterWidth(reg) == 0) return Answer(kAnswerBadFrame, at, "no such register");
      std::uint8_t value = static_cast<std::uint8_t>(registers_[reg]);
      if (reg == kRegisterPower) value = card_ ? 0x01 : 0x00;
      return Answer(value, at);
    }
    default:
      Answer(kAnswerOk, at);
      return ToCard(frame.payload, at);
  }
}

// --- the card's side ---

unsigned ReaderSim::guard_time() const {
  return (registers_[kRegisterGuard] & 0xFF) | (registers_[kRegisterMode] & 0x80) << 1;
}

void ReaderSim::StopCard(TimePoint now) {
  // Whatever the card had still to say in paced or jitter mode goes unsaid.
  ++epoch_;
  if (scheduler_) (void)Withdraw(now, Withdrawal::kCardItems);
}

std::vector<LineItem> ReaderSim::Withdraw(TimePoint now, Withdrawal what) {
  std::vector<LineItem> items = scheduler_->Withdraw(now, what);
  if (jitter_ && !items.empty()) jitter_last_ = scheduler_->LastReady();
  return items;
}

void ReaderSim::RecordWithdrawn(const LineItem& item, TimePoint at) {
  for (const TranscriptEntry& entry : item.entries) {
    if (entry.kind == EntryKind::kEvent) Record(Entry(EntryKind::kEventWithdrawn, entry.code), at);
  }
}

void ReaderSim::ResetCard(TimePoint at) {
  if (!card_) return;
  StopCard(at);
  Bytes atr = card_->Reset();
  card_mute_ = false;
  std::string note;
  std::optional<Nanos> end_after;
  if (TakeOne(faults_.mute_resets)) {
    card_mute_ = true;
    Record(Entry(EntryKind::kCardBytes, 0, {}, "fault: mute after reset"), at);
    return;
  }
  if (TakeOne(faults_.short_atr_resets)) {
    atr.resize(std::min<std::size_t>(atr.size(), 2));
    if (faults_.short_atr_t0 && atr.size() == 2) atr[1] = *faults_.short_atr_t0;
    note = "fault: ATR cut short after T0";
    if (faults_.short_atr_report == ShortAtrReport::kLate) {
      end_after = faults_.short_atr_late;
      note += ", end of block reported late";
    }
  }
  if (TakeOne(faults_.bad_ts_resets) && !atr.empty()) {
    atr[0] = faults_.bad_ts;
    note = "fault: invalid TS";
  }
  CardOutput out;
  out.Say(atr);
  out.EndTurn();
  const TimePoint start = at + options_.timing.Clocks(options_.atr_delay_clocks);
  timeline_.card = start;
  Relay(out, start, std::move(note), end_after);
}

void ReaderSim::ToCard(std::span<const std::uint8_t> data, TimePoint at) {
  if (!card_ || !card_->powered() || card_mute_ || data.empty()) return;
  const TimePoint start = std::max(at, timeline_.card);
  const Nanos each = options_.timing.CharacterToCard(guard_time(), card_->clocks_per_etu());
  timeline_.card = start + each * static_cast<std::int64_t>(data.size());
  CardOutput out;
  card_->Receive(data, out);
  Relay(out, timeline_.card + options_.timing.Etus(options_.timing.card_turnaround_etu,
                                                   card_->clocks_per_etu()));
}

void ReaderSim::Relay(const CardOutput& out, TimePoint start, std::string note,
                      std::optional<Nanos> end_after) {
  if (out.empty()) return;
  const bool paced = options_.paced;
  const unsigned cpe = card_->clocks_per_etu();
  const Nanos each = options_.timing.CharacterFromCard(cpe);
  const Nanos cwt = options_.timing.Etus(registers_[kRegisterCwt], cpe);
  TimePoint t = start;
  if (faults_.reader_error_next) {
    // The reader gives up on the card's answer: it reports an error once the card is done.
    faults_.reader_error_next = false;
    LineItem item;
    for (const CardRun& run : out.runs()) {
      t += each * static_cast<std::int64_t>(run.bytes.size());
      item.entries.push_back(
          Entry(EntryKind::kCardBytes, 0, run.bytes, "fault: reader error, not relayed"));
    }
    AppendEvent(item.bytes, kEventReaderError);
    item.entries.push_back(Entry(EntryKind::kEvent, kEventReaderError));
    item.from_card = true;
    timeline_.card = t;
    return Queue(std::move(item), t);
  }
  for (const CardRun& run : out.runs()) {
    const bool report_end = run.turn_ends && !TakeOne(faults_.skip_block_end);
    std::string run_note = note;
    if (run.turn_ends && !report_end) run_note = "fault: no end-of-block report";
    LineItem item;
    item.from_card = true;
    item.entries.push_back(Entry(EntryKind::kCardBytes, 0, run.bytes, std::move(run_note)));
    for (std::uint8_t b : run.bytes) {
      t += each;
      if (faults_.damage_in > 0 && --faults_.damage_in == 0) {
        AppendEvent(item.bytes, kEventCharacterError);
        item.entries.push_back(Entry(EntryKind::kDamagedCharacter, b));
      } else {
        AppendEscaped(item.bytes, b);
      }
      if (paced) {  // each character goes when the card has said it
        Queue(std::move(item), t);
        item = LineItem{};
        item.from_card = true;
      }
    }
    if (!item.bytes.empty()) Queue(std::move(item), t);
    if (report_end) {
      LineItem end;
      AppendEvent(end.bytes, kEventBlockEnd);
      end.entries.push_back(Entry(EntryKind::kEvent, kEventBlockEnd));
      end.from_card = true;
      end.block_end = true;
      end.hold = end_after;
      Queue(std::move(end), t + end_after.value_or(cwt));
    }
  }
  timeline_.card = t;
}

// --- what the reader sends ---

void ReaderSim::Answer(std::uint8_t answer, TimePoint at, std::string note) {
  LineItem item;
  AppendEscaped(item.bytes, answer);
  item.entries.push_back(Entry(EntryKind::kAnswer, answer, {}, std::move(note)));
  Queue(std::move(item), at);
}

void ReaderSim::Event(std::uint8_t code, TimePoint at) {
  LineItem item;
  AppendEvent(item.bytes, code);
  item.entries.push_back(Entry(EntryKind::kEvent, code));
  Queue(std::move(item), at);
}

Bytes ReaderSim::AddNoise(const Bytes& wire, std::vector<TranscriptEntry>& entries) {
  Bytes noisy, strays;
  for (std::uint8_t b : wire) {
    if (faults_.noise_left > 0) {
      std::uint32_t& x = faults_.noise_state;
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      if ((x & 7) == 0) {  // one byte in eight, on average, gets a stray one before it
        const std::uint8_t stray = static_cast<std::uint8_t>(x >> 24);
        noisy.push_back(stray);
        strays.push_back(stray);
        --faults_.noise_left;
      }
    }
    noisy.push_back(b);
  }
  if (!strays.empty()) entries.push_back(Entry(EntryKind::kNoise, 0, strays));
  return noisy;
}

void ReaderSim::Queue(LineItem item, TimePoint ready) {
  if (faults_.noise_left > 0 && !item.bytes.empty()) {
    item.bytes = AddNoise(item.bytes, item.entries);
  }
  item.ready = ready;
  if (jitter_) return QueueJittered(std::move(item));
  if (options_.paced) return scheduler().Add(std::move(item));
  if (item.hold) {  // fast mode: a late report waits on the scheduler's thread
    item.epoch = epoch_;
    return scheduler().Add(std::move(item));
  }
  item.due = ready;
  for (TranscriptEntry& entry : item.entries) Record(std::move(entry), ready);
  item.entries.clear();
  outbox_.push_back(std::move(item));
}

// Cuts the item into pieces at random gaps and queues them one after the other, after
// everything queued before: the line carries what the reader decided in the order it decided
// it, so another thread's event never lands inside an answer's pair of bytes. The entries go
// with the last piece.
void ReaderSim::QueueJittered(LineItem item) {
  Scheduler& queue = scheduler();
  TimePoint t;
  if (item.block_end) {  // after the card's last character, queued just before it
    t = jitter_last_ + (item.hold ? *item.hold : jitter_->BlockEnd());
  } else {
    t = std::max(jitter_last_, SimClock::now()) + jitter_->Gap();
  }
  auto piece = [&item](TimePoint ready) {
    LineItem p;
    p.dsr = item.dsr;
    p.ready = ready;
    p.from_card = item.from_card;
    p.block_end = item.block_end;
    return p;
  };
  LineItem current = piece(t);
  bool pair_open = false;  // the byte before opened an escaped pair
  for (std::size_t i = 0; i < item.bytes.size(); ++i) {
    if (i > 0) {
      const Nanos gap = jitter_->Gap();
      if (gap > Nanos(0)) {
        queue.Add(std::move(current));
        t += gap;
        current = piece(t);
        current.continues_pair = pair_open;
      }
    }
    const std::uint8_t b = item.bytes[i];
    current.bytes.push_back(b);
    pair_open = !pair_open && b == kEscape;
  }
  current.entries = std::move(item.entries);
  jitter_last_ = t;
  queue.Add(std::move(current));
}

void ReaderSim::Record(TranscriptEntry entry, TimePoint at) {
  entry.at = std::chrono::duration_cast<Nanos>(at - start_);
  if (options_.observer) options_.observer(entry);
  auto& entries = transcript_.entries;
  if (options_.transcript_limit > 0 && entries.size() >= options_.transcript_limit) {
    const std::size_t drop = entries.size() / 2 + 1;
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(drop));
    transcript_.dropped += drop;
  }
  entries.push_back(std::move(entry));
}

void ReaderSim::Delivered(LineItem item) {
  {
    std::lock_guard lock(mutex_);
    if (item.hold && !options_.paced && !jitter_ && item.epoch != epoch_) {
      // A held report that a host write or a card stop overtook on its way out.
      return RecordWithdrawn(item, item.due);
    }
    for (TranscriptEntry& entry : item.entries) Record(std::move(entry), item.due);
    item.entries.clear();
    outbox_.push_back(std::move(item));
  }
  Drain();
}

void ReaderSim::Drain() {
  std::unique_lock lock(mutex_);
  if (draining_) return;  // the one draining sends ours too, in order
  draining_ = true;
  while (!outbox_.empty()) {
    LineItem item = std::move(outbox_.front());
    outbox_.pop_front();
    if (!item.dsr) {  // bytes queued one after the other go in one piece
      while (!outbox_.empty() && !outbox_.front().dsr) {
        const Bytes& more = outbox_.front().bytes;
        item.bytes.insert(item.bytes.end(), more.begin(), more.end());
        outbox_.pop_front();
      }
    }
    lock.unlock();
    if (item.dsr) {
      if (line_.set_dsr) line_.set_dsr(*item.dsr);
    } else if (!item.bytes.empty() && line_.send) {
      line_.send(item.bytes);
    }
    lock.lock();
  }
  draining_ = false;
  idle_cv_.notify_all();
}

// --- cards and faults from the test's side ---

void ReaderSim::InsertCard(std::unique_ptr<Card> card, bool report) {
  if (!card) return;
  {
    std::lock_guard lock(mutex_);
    const TimePoint now = SimClock::now();
    if (card_) {
      StopCard(now);
      card_.reset();
      if (report) Event(kEventCardRemoved, now);
    }
    card_ = std::move(card);
    card_mute_ = false;
    if (report) Event(kEventCardInserted, now);
  }
  Drain();
}

bool ReaderSim::InsertCard(std::string_view model, bool report) {
  auto card = MakeCard(model);
  if (!card) return false;
  if (options_.challenges == ReaderOptions::Challenges::kSeed) {
    card->SetChallengeSeed(options_.challenge_seed);
  } else if (options_.challenges == ReaderOptions::Challenges::kFresh) {
    card->SetChallengeSeed(std::nullopt);
  }
  InsertCard(std::move(card), report);
  return true;
}

void ReaderSim::RemoveCard(bool report) {
  {
    std::lock_guard lock(mutex_);
    if (!card_) return;
    const TimePoint now = SimClock::now();
    StopCard(now);
    card_.reset();
    if (report) Event(kEventCardRemoved, now);
  }
  Drain();
}

bool ReaderSim::card_present() const {
  std::lock_guard lock(mutex_);
  return card_ != nullptr;
}

bool ReaderSim::card_powered() const {
  std::lock_guard lock(mutex_);
  return card_ && card_->powered();
}

std::string ReaderSim::card_model() const {
  std::lock_guard lock(mutex_);
  return card_ ? std::string(card_->model()) : std::string();
}

bool ReaderSim::WithCard(const std::function<void(Card&)>& action) {
  std::lock_guard lock(mutex_);
  if (!card_) return false;
  action(*card_);
  return true;
}

void ReaderSim::NegativeAnswer(std::uint8_t answer) {
  std::lock_guard lock(mutex_);
  faults_.negative_answer = answer;
}

void ReaderSim::SilenceNextCommand() {
  std::lock_guard lock(mutex_);
  faults_.silence_next = true;
}

void ReaderSim::DamageCardByte(int k) {
  std::lock_guard lock(mutex_);
  faults_.damage_in = std::max(k, 0);
}

void ReaderSim::SkipBlockEnd(int count) {
  std::lock_guard lock(mutex_);
  faults_.skip_block_end = count;
}

void ReaderSim::MuteAfterReset(int count) {
  std::lock_guard lock(mutex_);
  faults_.mute_resets = count;
}

void ReaderSim::ShortAtr(int count, ShortAtrReport report, std::chrono::milliseconds late,
                         std::optional<std::uint8_t> t0) {
  std::lock_guard lock(mutex_);
  faults_.short_atr_resets = count;
  faults_.short_atr_report = report;
  faults_.short_atr_late = late;
  faults_.short_atr_t0 = t0;
}

void ReaderSim::BadTs(int count, std::uint8_t ts) {
  std::lock_guard lock(mutex_);
  faults_.bad_ts_resets = count;
  faults_.bad_ts = ts;
}

void ReaderSim::LineNoise(std::uint32_t seed, int count) {
  std::lock_guard lock(mutex_);
  faults_.noise_left = std::max(count, 0);
  faults_.noise_state = seed == 0 ? 0x2545F491u : seed;
}

void ReaderSim::SetDsr(bool on) {
  {
    std::lock_guard lock(mutex_);
    LineItem item;
    item.dsr = on;
    TranscriptEntry entry = Entry(EntryKind::kDsr);
    entry.on = on;
    item.entries.push_back(std::move(entry));
    Queue(std::move(item), SimClock::now());
  }
  Drain();
}

void ReaderSim::ReaderErrorNext() {
  std::lock_guard lock(mutex_);
  faults_.reader_error_next = true;
}

void ReaderSim::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_ = FaultState{};
}

FaultState ReaderSim::faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

std::uint32_t ReaderSim::register_value(std::uint8_t reg) const {
  std::lock_guard lock(mutex_);
  if (reg == kRegisterPower) return card_ ? 1 : 0;
  return reg < std::size(registers_) ? registers_[reg] : 0;
}

Transcript ReaderSim::transcript() const {
  std::lock_guard lock(mutex_);
  return transcript_;
}

void ReaderSim::ClearTranscript() {
  std::lock_guard lock(mutex_);
  transcript_ = Transcript{};
}

bool ReaderSim::WaitIdle(std::chrono::milliseconds timeout) {
  const auto deadline = SimClock::now() + timeout;
  Scheduler* scheduler = nullptr;
  {
    std::lock_guard lock(mutex_);
    scheduler = scheduler_.get();  // once there, it stays until the destructor
  }
  if (scheduler && !scheduler->WaitIdle(timeout)) return false;
  std::unique_lock lock(mutex_);
  return idle_cv_.wait_until(lock, deadline, [this] { return outbox_.empty() && !draining_; });
}

}  // namespace tolvex::sim
