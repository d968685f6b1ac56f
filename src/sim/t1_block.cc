#include "sim/t1_block.h"

namespace tolvex::sim::t1 {

std::uint8_t Lrc(std::span<const std::uint8_t> bytes) {
  std::uint8_t lrc = 0;
  for (std::uint8_t b : bytes) lrc ^= b;
  return lrc;
}

std::uint16_t Crc16(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
  }
  return static_cast<std::uint16_t>(~crc);
}

Bytes Encode(const Block& block, Edc edc) {
  Bytes bytes;
  bytes.reserve(3 + block.inf.size() + EdcSize(edc));
  bytes.push_back(block.nad);
  bytes.push_back(block.pcb);
  bytes.push_back(static_cast<std::uint8_t>(block.inf.size()));
  for (std::uint8_t b : block.inf) bytes.push_back(b);
  if (edc == Edc::kLrc) {
    bytes.push_back(Lrc(bytes));
  } else {
    const std::uint16_t crc = Crc16(bytes);
    bytes.push_back(static_cast<std::uint8_t>(crc));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
  }
  return bytes;
}

std::optional<Block> Decode(std::span<const std::uint8_t> bytes, Edc edc) {
  if (bytes.size() < 3 + EdcSize(edc) || bytes.size() != 3 + bytes[2] + EdcSize(edc)) {
    return std::nullopt;
  }
  const auto body = bytes.first(3 + bytes[2]);
  if (edc == Edc::kLrc) {
    if (Lrc(body) != bytes.back()) return std::nullopt;
  } else {
    const std::uint16_t crc = Crc16(body);
    if (bytes[bytes.size() - 2] != static_cast<std::uint8_t>(crc) ||
        bytes.back() != static_cast<std::uint8_t>(crc >> 8)) {
      return std::nullopt;
    }
  }
  return Block{bytes[0], bytes[1], Bytes(body.begin() + 3, body.end())};
}

std::string Describe(const Block& block) {
  std::string text;
  const std::uint8_t pcb = block.pcb;
  if (IsI(pcb)) {
    text = "I(" + std::to_string(Ns(pcb)) + (More(pcb) ? ", more)" : ")");
  } else if (IsR(pcb)) {
    static const char* const kErrors[] = {"", ", EDC error", ", other error", ", error 3"};
    text = "R(" + std::to_string(Nr(pcb)) + kErrors[pcb & 0x03] + ")";
  } else {
    static const char* const kTypes[] = {"RESYNCH", "IFS", "ABORT", "WTX"};
    const std::uint8_t type = pcb & 0x1F;
    text = std::string("S(") + (type < 4 ? kTypes[type] : "?") +
           (pcb & kSResponse ? " response)" : " request)");
  }
  if (!block.inf.empty()) {
    text += ' ';
    text += Hex(block.inf);
  }
  return text;
}

}  // namespace tolvex::sim::t1
