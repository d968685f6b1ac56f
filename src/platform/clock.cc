// Clock: the record of waits, sleeps and stalls that tests assert on (see platform.h).
#include "platform/platform.h"

#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tolvex::platform {

void Clock::StartRecording() {
  std::lock_guard lock(mutex_);
  records_.clear();
  recording_.store(true);
}

void Clock::StopRecording() {
  recording_.store(false);
}

std::vector<Clock::Record> Clock::Records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void Clock::ClearRecords() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

void Clock::Note(Kind kind, LONGLONG amount) {
  if (!recording_.load()) return;
  std::lock_guard lock(mutex_);
  records_.push_back(Record{kind, amount, std::this_thread::get_id()});
}

std::vector<ULONG> Clock::DelaysMs(std::optional<std::thread::id> thread) const {
  std::vector<ULONG> result;
  for (const Record& r : Records()) {
    if (r.kind == Kind::kDelay && (!thread || r.thread == *thread)) {
      result.push_back(static_cast<ULONG>(r.amount / 10000));
    }
  }
  return result;
}

namespace {

std::vector<LONGLONG> WaitRecordsMs(const std::vector<Clock::Record>& records, Clock::Kind kind,
                                    std::optional<std::thread::id> thread) {
  std::vector<LONGLONG> result;
  for (const Clock::Record& r : records) {
    if (r.kind == kind && (!thread || r.thread == *thread)) {
      result.push_back(r.amount < 0 ? -1 : r.amount / 10000);
    }
  }
  return result;
}

}  // namespace

std::vector<LONGLONG> Clock::WaitsMs(std::optional<std::thread::id> thread) const {
  return WaitRecordsMs(Records(), Kind::kWait, thread);
}

std::vector<LONGLONG> Clock::RanOutMs(std::optional<std::thread::id> thread) const {
  return WaitRecordsMs(Records(), Kind::kRanOut, thread);
}

size_t Clock::StallCount(std::optional<std::thread::id> thread) const {
  size_t count = 0;
  for (const Record& r : Records()) {
    if (r.kind == Kind::kStall && (!thread || r.thread == *thread)) ++count;
  }
  return count;
}

}  // namespace tolvex::platform
