#include "sim/atr.h"

#include <algorithm>

namespace tolvex::sim {

bool AtrInfo::Offers(int protocol) const {
  return std::find(protocols.begin(), protocols.end(), protocol) != protocols.end();
}

AtrInfo ParseAtr(std::span<const std::uint8_t> atr) {
  AtrInfo info;
  if (atr.size() < 2 || (atr[0] != 0x3B && atr[0] != 0x3F)) return info;
  std::size_t at = 1;
  std::uint8_t y = atr[at] >> 4;
  const std::size_t k = atr[at] & 0x0F;
  ++at;
  bool tck_due = false;
  int group = 1;
  int group_protocol = -1;  // the protocol the TD before this group announced
  bool t1_ta_seen = false, t1_tb_seen = false, t1_tc_seen = false;
  for (;;) {
    const bool t1_group = group >= 3 && group_protocol == 1;
    if (y & 0x1) {
      if (at >= atr.size()) return info;
      const std::uint8_t ta = atr[at++];
      if (group == 1) info.ta1 = ta;
      if (t1_group && !t1_ta_seen) {
        info.ifsc = ta;
        t1_ta_seen = true;
      }
    }
    if (y & 0x2) {
      if (at >= atr.size()) return info;
      const std::uint8_t tb = atr[at++];
      if (t1_group && !t1_tb_seen) {
        info.bwi = tb >> 4;
        info.cwi = tb & 0x0F;
        t1_tb_seen = true;
      }
    }
    if (y & 0x4) {
      if (at >= atr.size()) return info;
      const std::uint8_t tc = atr[at++];
      if (group == 1) info.tc1 = tc;
      if (t1_group && !t1_tc_seen) {
        info.crc = (tc & 0x01) != 0;
        t1_tc_seen = true;
      }
    }
    if (!(y & 0x8)) break;
    if (at >= atr.size()) return info;
    const std::uint8_t td = atr[at++];
    y = td >> 4;
    group_protocol = td & 0x0F;
    if (group_protocol != 15 && !info.Offers(group_protocol)) {
      info.protocols.push_back(group_protocol);
    }
    if (group_protocol != 0) tck_due = true;
    ++group;
  }
  if (info.protocols.empty()) info.protocols.push_back(0);
  if (at + k > atr.size()) return info;
  info.historical.assign(atr.begin() + static_cast<std::ptrdiff_t>(at),
                         atr.begin() + static_cast<std::ptrdiff_t>(at + k));
  at += k;
  if (tck_due) {
    if (at >= atr.size()) return info;
    std::uint8_t x = 0;
    for (std::size_t i = 1; i <= at; ++i) x ^= atr[i];
    if (x != 0) return info;
    ++at;
  }
  info.valid = at == atr.size();
  return info;
}

Bytes WithTck(Bytes atr) {
  std::uint8_t x = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) x ^= atr[i];
  atr.push_back(x);
  return atr;
}

unsigned FiValue(std::uint8_t index) {
  static constexpr unsigned kFi[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                                       0,   512, 768, 1024, 1536, 2048, 0,    0};
  return kFi[index & 0x0F];
}

unsigned DiValue(std::uint8_t index) {
  static constexpr unsigned kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
  return kDi[index & 0x0F];
}

unsigned ClocksPerEtu(std::uint8_t ta1) {
  const unsigned f = FiValue(ta1 >> 4), d = DiValue(ta1 & 0x0F);
  return f == 0 || d == 0 ? 0 : f / d;
}

}  // namespace tolvex::sim
