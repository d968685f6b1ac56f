#include "sim/pts.h"

namespace tolvex::sim {

std::size_t PtsCollector::Length() const {
  const std::uint8_t pts0 = bytes_[1];
  return 3 + ((pts0 >> 4) & 1) + ((pts0 >> 5) & 1) + ((pts0 >> 6) & 1);
}

bool PtsCollector::complete() const {
  return bytes_.size() >= 2 && bytes_.size() == Length();
}

std::size_t PtsCollector::Feed(std::span<const std::uint8_t> bytes) {
  std::size_t taken = 0;
  while (taken < bytes.size() && !complete()) bytes_.push_back(bytes[taken++]);
  return taken;
}

bool PtsCollector::well_formed() const {
  if (!complete() || bytes_[0] != kPtss) return false;
  std::uint8_t x = 0;
  for (std::uint8_t b : bytes_) x ^= b;
  return x == 0;
}

std::optional<std::uint8_t> PtsCollector::pts1() const {
  if (!complete() || !(bytes_[1] & 0x10)) return std::nullopt;
  return bytes_[2];
}

Bytes BuildPts(int protocol, std::optional<std::uint8_t> pts1) {
  Bytes pts{kPtss, static_cast<std::uint8_t>((protocol & 0x0F) | (pts1 ? 0x10 : 0x00))};
  if (pts1) pts.push_back(*pts1);
  std::uint8_t pck = 0;
  for (std::uint8_t b : pts) pck ^= b;
  pts.push_back(pck);
  return pts;
}

}  // namespace tolvex::sim
