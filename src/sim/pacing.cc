#include "sim/pacing.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace tolvex::sim {

Nanos LineTiming::SerialBytes(std::size_t n) const {
  return Nanos(static_cast<std::int64_t>(n) * 10'000'000'000LL / baud);
}

Nanos LineTiming::Clocks(double n) const {
  return Nanos(static_cast<std::int64_t>(std::llround(n * 1e9 / card_clock_hz)));
}

Nanos LineTiming::CharacterToCard(unsigned guard, unsigned clocks_per_etu) const {
  return Etus(std::max(guard, 12U), clocks_per_etu);
}

TimePoint Timeline::HostWrote(TimePoint now, std::size_t n, const LineTiming& timing) {
  const TimePoint start = std::max(now, host_in);
  host_in = start + timing.SerialBytes(n);
  return start;
}

Nanos JitterSource::Gap() {
  if (Next() % 4 == 0 || jitter_.max_gap <= Nanos(0)) return Nanos(0);
  return std::max(Nanos(1), UpTo(jitter_.max_gap));
}

Nanos JitterSource::BlockEnd() {
  switch (Next() % 4) {
    case 0:
      return Nanos(0);
    case 1:
      return UpTo(jitter_.max_gap);
    default:
      return UpTo(jitter_.block_end_max_delay);
  }
}

std::uint64_t JitterSource::Next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

Nanos JitterSource::UpTo(Nanos max) {
  if (max <= Nanos(0)) return Nanos(0);
  return Nanos(static_cast<std::int64_t>(Next() % (static_cast<std::uint64_t>(max.count()) + 1)));
}

Scheduler::Scheduler(std::optional<LineTiming> timing, Deliver deliver)
    : timing_(timing), deliver_(std::move(deliver)) {
  thread_ = std::thread([this] { Run(); });
}

Scheduler::~Scheduler() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void Scheduler::Add(LineItem item) {
  {
    std::lock_guard lock(mutex_);
    const TimePoint ready = item.ready;
    queue_.emplace(ready, std::move(item));
  }
  cv_.notify_all();
}

std::vector<LineItem> Scheduler::Withdraw(TimePoint now, Withdrawal what) {
  std::vector<LineItem> withdrawn;
  {
    std::lock_guard lock(mutex_);
    bool previous_withdrawn = false;
    for (auto it = queue_.begin(); it != queue_.end();) {
      const LineItem& item = it->second;
      const bool match = (what == Withdrawal::kCardItems ? item.from_card : item.block_end) &&
                         item.ready > now && (!item.continues_pair || previous_withdrawn);
      previous_withdrawn = match;
      if (match) {
        withdrawn.push_back(std::move(it->second));
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
  }
  cv_.notify_all();
  return withdrawn;
}

TimePoint Scheduler::LastReady() {
  std::lock_guard lock(mutex_);
  return queue_.empty() ? TimePoint{} : std::prev(queue_.end())->first;
}

bool Scheduler::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return queue_.empty() && !delivering_; });
}

void Scheduler::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stop_) return;
    if (queue_.empty()) {
      cv_.wait(lock);
      continue;
    }
    const LineItem& next = queue_.begin()->second;
    const TimePoint due =
        next.bytes.empty() || !timing_
            ? next.ready
            : std::max(next.ready, line_free_) + timing_->SerialBytes(next.bytes.size());
    if (SimClock::now() < due) {
      cv_.wait_until(lock, due);
      continue;
    }
    LineItem item = std::move(queue_.begin()->second);
    queue_.erase(queue_.begin());
    item.due = due;
    if (!item.bytes.empty()) line_free_ = due;
    delivering_ = true;
    lock.unlock();
    deliver_(std::move(item));
    lock.lock();
    delivering_ = false;
    cv_.notify_all();
  }
}

}  // namespace tolvex::sim
