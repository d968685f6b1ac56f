#include "sim/application.h"

#include <algorithm>
#include <random>

namespace tolvex::sim {

namespace {

constexpr std::uint16_t kSwOk = 0x9000;
constexpr std::uint16_t kSwEndOfFile = 0x6282;
constexpr std::uint16_t kSwWrongLength = 0x6700;
constexpr std::uint16_t kSwNoCurrentEf = 0x6986;
constexpr std::uint16_t kSwNotFound = 0x6A82;
constexpr std::uint16_t kSwWrongP1P2 = 0x6B00;
constexpr std::uint16_t kSwConditions = 0x6985;
constexpr std::uint16_t kSwBadIns = 0x6D00;
constexpr std::uint16_t kSwBadCla = 0x6E00;
constexpr std::uint16_t kMasterFile = 0x3F00;

std::uint32_t NextRandom(std::uint32_t& state) {
  // xorshift32: small, and the same everywhere.
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

std::uint32_t Seeded(std::uint32_t seed) {
  return seed == 0 ? 0x9E3779B9u : seed;
}

}  // namespace

Bytes Response::ToBytes() const {
  Bytes bytes = data;
  bytes.push_back(static_cast<std::uint8_t>(sw >> 8));
  bytes.push_back(static_cast<std::uint8_t>(sw));
  return bytes;
}

Application::Application(std::uint32_t seed) : seed_(seed), generator_(Seeded(seed)) {}

void Application::Reset() {
  generator_ = Seeded(seed_ ? *seed_ : std::random_device{}());
  file_selected_ = false;
}

const Bytes& Application::Aid() {
  static const Bytes aid = {0xF0, 'T', 'O', 'L', 'V', 'E', 'X'};
  return aid;
}

const Bytes& Application::FileContents() {
  static const Bytes contents = [] {
    Bytes bytes(kFileSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 13 + 7);  // every value, 0x10 included
    }
    return bytes;
  }();
  return contents;
}

Bytes Application::ChallengeBytes(std::uint32_t seed, std::size_t n) {
  Application app(seed);
  Apdu apdu{0x00, kInsGetChallenge, 0, 0, {}, static_cast<int>(n)};
  return app.Process(apdu).data;
}

Direction Application::DirectionOf(std::uint8_t cla, std::uint8_t ins) const {
  if (cla == kClaProprietary)
    return ins == kInsEcho ? Direction::kIn : Direction::kUnknownInstruction;
  if (cla != 0x00) return Direction::kUnknownClass;
  switch (ins) {
    case kInsSelect:
      return Direction::kIn;
    case kInsReadBinary:
    case kInsGetChallenge:
    case kInsGetResponse:
      return Direction::kOut;
    default:
      return Direction::kUnknownInstruction;
  }
}

namespace {

// Two length bytes; 00 00 is the most there can be.
int Length16(std::uint8_t high, std::uint8_t low, int zero) {
  const int value = high << 8 | low;
  return value == 0 ? zero : value;
}

// An extended-length APDU (a 00 where a short Lc would be), `apdu` holding its header: case 2E
// (00 Le Le), 3E (00 Lc Lc data) or 4E (00 Lc Lc data Le Le).
std::optional<Apdu> ParseExtended(std::span<const std::uint8_t> bytes, Apdu apdu) {
  if (bytes.size() < 7) return std::nullopt;
  if (bytes.size() == 7) {
    apdu.le = Length16(bytes[5], bytes[6], 65536);
    return apdu;
  }
  const std::size_t lc = static_cast<std::size_t>(bytes[5] << 8 | bytes[6]);
  if (lc == 0 || (bytes.size() != 7 + lc && bytes.size() != 9 + lc)) return std::nullopt;
  apdu.data.assign(bytes.begin() + 7, bytes.begin() + 7 + static_cast<std::ptrdiff_t>(lc));
  if (bytes.size() == 9 + lc) apdu.le = Length16(bytes[7 + lc], bytes[8 + lc], 65536);
  return apdu;
}

}  // namespace

std::optional<Apdu> Application::Parse(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  Apdu apdu{bytes[0], bytes[1], bytes[2], bytes[3], {}, std::nullopt};
  if (bytes.size() == 4) return apdu;  // case 1
  const std::size_t p3 = bytes[4];
  if (bytes.size() == 5) {  // case 2
    apdu.le = p3 == 0 ? 256 : static_cast<int>(p3);
    return apdu;
  }
  if (p3 == 0) return ParseExtended(bytes, apdu);
  if (bytes.size() != 5 + p3 && bytes.size() != 6 + p3) return std::nullopt;
  apdu.data.assign(bytes.begin() + 5, bytes.begin() + 5 + static_cast<std::ptrdiff_t>(p3));
  if (bytes.size() == 6 + p3) apdu.le = bytes.back() == 0 ? 256 : bytes.back();  // case 4
  return apdu;
}

Response Application::Process(const Apdu& apdu) {
  switch (DirectionOf(apdu.cla, apdu.ins)) {
    case Direction::kUnknownClass:
      return {{}, kSwBadCla};
    case Direction::kUnknownInstruction:
      return {{}, kSwBadIns};
    default:
      break;
  }
  switch (apdu.ins) {
    case kInsSelect:
      return Select(apdu);
    case kInsReadBinary:
      return ReadBinary(apdu);
    case kInsGetChallenge:
      return GetChallenge(apdu);
    case kInsGetResponse:
      return {{}, kSwConditions};  // nothing kept back: T=0 cards answer it themselves
    default: {                     // echo
      if (apdu.p1 != 0 || apdu.p2 != 0) return {{}, kSwWrongP1P2};
      if (apdu.data.empty()) return {{}, kSwWrongLength};
      Bytes data = apdu.data;
      data.resize(std::min<std::size_t>(data.size(), apdu.le.value_or(0)));
      return {std::move(data), kSwOk};
    }
  }
}

Response Application::Select(const Apdu& apdu) {
  if (apdu.p2 != 0x00 && apdu.p2 != 0x0C) return {{}, kSwWrongP1P2};
  if (apdu.p1 == 0x04) {
    if (apdu.data.empty()) return {{}, kSwWrongLength};
    if (apdu.data != Aid()) return {{}, kSwNotFound};
    file_selected_ = false;
    return {{}, kSwOk};
  }
  if (apdu.p1 != 0x00) return {{}, kSwWrongP1P2};
  if (apdu.data.size() != 2) return {{}, kSwWrongLength};
  const std::uint16_t fid = static_cast<std::uint16_t>(apdu.data[0] << 8 | apdu.data[1]);
  if (fid == kFileId) {
    file_selected_ = true;
    return {{}, kSwOk};
  }
  if (fid == kMasterFile) {
    file_selected_ = false;
    return {{}, kSwOk};
  }
  return {{}, kSwNotFound};
}

Response Application::ReadBinary(const Apdu& apdu) const {
  if (!apdu.data.empty() || !apdu.le) return {{}, kSwWrongLength};
  if (apdu.p1 & 0x80) return {{}, kSwWrongP1P2};  // short file identifiers: not served
  if (!file_selected_) return {{}, kSwNoCurrentEf};
  const std::size_t offset = static_cast<std::size_t>(apdu.p1) << 8 | apdu.p2;
  const Bytes& file = FileContents();
  if (offset >= file.size()) return {{}, kSwWrongP1P2};
  const std::size_t n =
      std::min<std::size_t>(static_cast<std::size_t>(*apdu.le), file.size() - offset);
  Bytes data(file.begin() + static_cast<std::ptrdiff_t>(offset),
             file.begin() + static_cast<std::ptrdiff_t>(offset + n));
  return {std::move(data), n == static_cast<std::size_t>(*apdu.le) ? kSwOk : kSwEndOfFile};
}

Response Application::GetChallenge(const Apdu& apdu) {
  if (!apdu.data.empty() || !apdu.le) return {{}, kSwWrongLength};
  if (apdu.p1 != 0 || apdu.p2 != 0) return {{}, kSwWrongP1P2};
  Bytes data(static_cast<std::size_t>(*apdu.le));
  for (auto& b : data) b = static_cast<std::uint8_t>(NextRandom(generator_) >> 24);
  return {std::move(data), kSwOk};
}

}  // namespace tolvex::sim
