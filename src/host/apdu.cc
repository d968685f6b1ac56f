#include "host/apdu.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

namespace tolvex::host {

bool IsExtendedApdu(std::span<const std::uint8_t> apdu) {
  if (apdu.size() < 7 || apdu[4] != 0) return false;
  if (apdu.size() == 7) return true;  // 2E: 00 Le Le
  const std::size_t lc = static_cast<std::size_t>(apdu[5] << 8 | apdu[6]);
  return lc != 0 && (apdu.size() == 7 + lc || apdu.size() == 9 + lc);  // 3E, 4E
}

std::size_t ResponseRoom(std::span<const std::uint8_t> apdu) {
  return IsExtendedApdu(apdu) ? kExtendedResponseRoom : kShortResponseRoom;
}
namespace {

struct SwText {
  std::uint8_t sw1;
  int sw2;  // -1: any (the group's meaning)
  const char* text;
};

// ISO/IEC 7816-4's texts; for each SW1 its own, then the group's.
constexpr SwText kStatusWords[] = {
    {0x90, 0x00, "normal processing"},
    {0x62, 0x00, "warning: no information given, memory unchanged"},
    {0x62, 0x81, "warning: part of returned data may be corrupted"},
    {0x62, 0x82, "warning: end of file or record reached before reading Le bytes"},
    {0x62, 0x83, "warning: selected file deactivated"},
    {0x62, 0x84, "warning: file control information not correctly formatted"},
    {0x62, 0x85, "warning: selected file in termination state"},
    {0x62, 0x86, "warning: no input data available from a sensor on the card"},
    {0x62, -1, "warning: memory unchanged"},
    {0x63, 0x00, "warning: no information given, memory changed"},
    {0x63, 0x81, "warning: file filled up by the last write"},
    {0x63, -1, "warning: memory changed"},
    {0x64, 0x00, "execution error: memory unchanged"},
    {0x64, 0x01, "execution error: immediate response required by the card"},
    {0x64, -1, "execution error: memory unchanged"},
    {0x65, 0x00, "execution error: memory changed"},
    {0x65, 0x81, "execution error: memory failure"},
    {0x65, -1, "execution error: memory changed"},
    {0x66, -1, "execution error: security-related issue"},
    {0x67, 0x00, "checking error: wrong length"},
    {0x67, -1, "checking error: wrong length"},
    {0x68, 0x81, "checking error: logical channel not supported"},
    {0x68, 0x82, "checking error: secure messaging not supported"},
    {0x68, 0x83, "checking error: last command of the chain expected"},
    {0x68, 0x84, "checking error: command chaining not supported"},
    {0x68, -1, "checking error: functions in CLA not supported"},
    {0x69, 0x81, "checking error: command incompatible with file structure"},
    {0x69, 0x82, "checking error: security status not satisfied"},
    {0x69, 0x83, "checking error: authentication method blocked"},
    {0x69, 0x84, "checking error: reference data not usable"},
    {0x69, 0x85, "checking error: conditions of use not satisfied"},
    {0x69, 0x86, "checking error: command not allowed (no current EF)"},
    {0x69, 0x87, "checking error: expected secure messaging data objects missing"},
    {0x69, 0x88, "checking error: incorrect secure messaging data objects"},
    {0x69, -1, "checking error: command not allowed"},
    {0x6A, 0x80, "checking error: incorrect parameters in the command data field"},
    {0x6A, 0x81, "checking error: function not supported"},
    {0x6A, 0x82, "checking error: file or application not found"},
    {0x6A, 0x83, "checking error: record not found"},
    {0x6A, 0x84, "checking error: not enough memory space in the file"},
    {0x6A, 0x85, "checking error: Lc inconsistent with TLV structure"},
    {0x6A, 0x86, "checking error: incorrect parameters P1-P2"},
    {0x6A, 0x87, "checking error: Lc inconsistent with parameters P1-P2"},
    {0x6A, 0x88, "checking error: referenced data or reference data not found"},
    {0x6A, 0x89, "checking error: file already exists"},
    {0x6A, 0x8A, "checking error: DF name already exists"},
    {0x6A, -1, "checking error: wrong parameters P1-P2"},
    {0x6B, -1, "checking error: wrong parameters P1-P2"},
    {0x6D, -1, "checking error: instruction code not supported or invalid"},
    {0x6E, -1, "checking error: class not supported"},
    {0x6F, -1, "checking error: no precise diagnosis"},
};

// The class of the GET RESPONSE that follows a command of class `cla`: the command's own for
// an interindustry class, without the command chaining bit; 00 for a proprietary one.
std::uint8_t GetResponseClass(std::uint8_t cla) {
  return (cla & 0x80) != 0 ? 0x00 : static_cast<std::uint8_t>(cla & ~0x10);
}

}  // namespace

std::string StatusWordMeaning(std::uint8_t sw1, std::uint8_t sw2) {
  if (sw1 == 0x61) {
    return sw2 == 0 ? "normal processing: 256 or more bytes still available"
                    : "normal processing: " + std::to_string(sw2) + " bytes still available";
  }
  if (sw1 == 0x6C) {
    return "checking error: wrong Le: " + std::to_string(sw2 == 0 ? 256 : sw2) + " bytes available";
  }
  if (sw1 == 0x63 && (sw2 & 0xF0) == 0xC0) {
    return "warning: counter " + std::to_string(sw2 & 0x0F);
  }
  const SwText* group = nullptr;
  for (const SwText& row : kStatusWords) {
    if (row.sw1 != sw1) continue;
    if (row.sw2 == sw2) return row.text;
    if (row.sw2 < 0) group = &row;
  }
  const std::string code = fmt::format("{:02X}{:02X}", sw1, sw2);
  if (group != nullptr) return std::string(group->text) + " (" + code + ")";
  if ((sw1 & 0xF0) == 0x90) return std::string("proprietary status word (") + code + ")";
  return std::string("not an ISO/IEC 7816-4 status word (") + code + ")";
}

std::string Printable(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    text += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
  }
  return text;
}

std::vector<std::string> HexDump(std::span<const std::uint8_t> bytes) {
  constexpr std::size_t kPerLine = 16;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size(); at += kPerLine) {
    std::string line = fmt::format("{:04X}  ", at);
    for (std::size_t i = at; i < at + kPerLine; ++i) {
      if (i < bytes.size()) {
        line += fmt::format("{:02X} ", bytes[i]);
      } else {
        line += "   ";
      }
    }
    const std::size_t count = std::min(kPerLine, bytes.size() - at);
    lines.push_back(line + " " + Printable(bytes.subspan(at, count)));
  }
  return lines;
}

ApduResult Transceive(const Transmitter& transmit, std::span<const std::uint8_t> first,
                      bool automatic) {
  ApduResult result;
  std::vector<std::uint8_t> command(first.begin(), first.end());
  for (int sent = 0;; ++sent) {
    const auto start = std::chrono::steady_clock::now();
    auto [status, response] = transmit(command);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (status != status::kSuccess) response.clear();
    result.exchanges.push_back({command, status, response, sent > 0, ms});
    if (status != status::kSuccess) {
      result.status = status;
      return result;
    }
    if (response.size() < 2) {
      result.status = status::kDeviceProtocolError;
      return result;
    }
    const std::uint8_t sw1 = response[response.size() - 2], sw2 = response.back();
    result.sw1 = sw1;
    result.sw2 = sw2;
    std::vector<std::uint8_t> next;
    if (automatic && sw1 == 0x61 && command.size() >= 4) {
      next = {GetResponseClass(command[0]), 0xC0, 0x00, 0x00, sw2};
    } else if (automatic && sw1 == 0x6C && command.size() >= 4 && command.size() <= 5) {
      next.assign(command.begin(), command.begin() + 4);  // the same command, Le = SW2
      next.push_back(sw2);
    }
    // The data of an answer the command is sent again for comes again: only the rest is kept.
    if (!(sw1 == 0x6C && !next.empty())) {
      result.data.insert(result.data.end(), response.begin(), response.end() - 2);
    }
    if (next.empty()) return result;
    if (sent == kMaxAutomaticExchanges) {
      result.runaway = true;
      result.status = status::kDeviceProtocolError;
      return result;
    }
    command = std::move(next);
  }
}

}  // namespace tolvex::host
