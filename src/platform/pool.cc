// Pool memory: allocation with tags, accounting per tag, the verifier's checks on free, and
// allocations made to fail for a test.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace tolvex::platform {

namespace {
// Allocation header, in front of every pool block.
struct alignas(16) PoolHeader {
  ULONG magic;
  ULONG tag;
  SIZE_T bytes;
};
constexpr ULONG kPoolMagic = 0x6C6F6F50;  // "Pool"
constexpr UCHAR kFreshFill = 0xA5;
constexpr UCHAR kFreedFill = 0xDD;

}  // namespace

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return text;
}

// Every rule that covers the tag counts the allocation, whichever of them makes it fail.
bool PoolMonitor::ShouldFail(ULONG tag) {
  bool fail = false;
  for (auto it = failures_.begin(); it != failures_.end();) {
    if (it->tag != 0 && it->tag != tag) {
      ++it;
    } else if (it->skip > 0) {
      --it->skip;
      ++it;
    } else {
      fail = true;
      it = --it->count == 0 ? failures_.erase(it) : it + 1;
    }
  }
  return fail;
}

void PoolMonitor::CheckLevel(POOL_TYPE type, ULONG tag) const {
  if (type == PagedPool && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    BugCheck("paged pool allocated at DISPATCH_LEVEL", "tag %s", TagText(tag).c_str());
  }
}

PVOID PoolMonitor::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  CheckLevel(type, tag);
  // The block is made first and the monitor's lock taken once, for the failure rules and the
  // accounting together: every request the driver builds allocates twice. The rules see every
  // call, as before, whether or not the block could be made.
  auto* header = static_cast<PoolHeader*>(std::malloc(sizeof(PoolHeader) + bytes));
  PVOID p = nullptr;
  if (header != nullptr) {
    header->magic = kPoolMagic;
    header->tag = tag;
    header->bytes = bytes;
    p = header + 1;
    std::memset(p, kFreshFill, bytes);
  }
  std::unique_lock lock(mutex_);
  if (ShouldFail(tag) || header == nullptr) {
    lock.unlock();
    std::free(header);
    return nullptr;
  }
  live_.emplace(p, std::make_pair(tag, bytes));
  TagUsage& usage = usage_[tag];
  ++usage.allocations;
  ++usage.total_allocations;
  usage.bytes += bytes;
  return p;
}

void PoolMonitor::Free(PVOID p, std::optional<ULONG> expected_tag) {
  if (p == nullptr) BugCheck("freeing a null pool pointer");
  {
    std::lock_guard lock(mutex_);
    auto it = live_.find(p);
    if (it == live_.end()) {
      BugCheck("freeing pool memory that is not allocated",
               "%p was freed before, or never came from the pool", p);
    }
    if (expected_tag && *expected_tag != it->second.first) {
      BugCheck("freeing pool memory with the wrong tag", "%p has tag %s, freed as %s", p,
               TagText(it->second.first).c_str(), TagText(*expected_tag).c_str());
    }
    TagUsage& usage = usage_[it->second.first];
    --usage.allocations;
    usage.bytes -= it->second.second;
    live_.erase(it);
  }
  PoolHeader* header = static_cast<PoolHeader*>(p) - 1;
  std::memset(p, kFreedFill, header->bytes);
  header->magic = 0;
  std::free(header);
}

PoolMonitor::TagUsage PoolMonitor::Usage(ULONG tag) const {
  std::lock_guard lock(mutex_);
  auto it = usage_.find(tag);
  return it == usage_.end() ? TagUsage{} : it->second;
}

size_t PoolMonitor::OutstandingAllocations() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

std::string PoolMonitor::Describe() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const auto& [tag, usage] : usage_) {
    if (usage.allocations == 0) continue;
    if (!text.empty()) text += ", ";
    text += TagText(tag) + ": " + std::to_string(usage.allocations) + " allocations, " +
            std::to_string(usage.bytes) + " bytes";
  }
  return text.empty() ? "nothing" : text;
}

void PoolMonitor::FailAllocations(ULONG tag, size_t skip, size_t count) {
  std::lock_guard lock(mutex_);
  if (count > 0) failures_.push_back(Failure{tag, skip, count});
}

void PoolMonitor::ClearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

}  // namespace tolvex::platform
