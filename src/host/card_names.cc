#include "host/card_names.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "host/hex.h"

namespace tolvex::host {
namespace {

// Most patterns are hex digits, "." and spaces: matched a character at a time, which is much
// quicker than building thousands of regular expressions for one lookup.
bool Matches(const std::string& pattern, const std::string& atr) {
  if (pattern.find_first_not_of("0123456789ABCDEFabcdef. ") == std::string::npos) {
    if (pattern.size() != atr.size()) return false;
    for (std::size_t i = 0; i < atr.size(); ++i) {
      const char p = static_cast<char>(std::toupper(static_cast<unsigned char>(pattern[i])));
      if (p != '.' && p != atr[i]) return false;
    }
    return true;
  }
  try {
    const std::regex expression(pattern, std::regex::ECMAScript | std::regex::icase);
    return std::regex_match(atr, expression);
  } catch (const std::regex_error&) {
    return false;  // not a pattern this reads: no name from it
  }
}

// The text with every byte that is not part of a well-formed UTF-8 sequence as '?': the list is
// UTF-8, but a copy in another encoding must not reach the JSON output as it is.
std::string WellFormed(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    // The sequence's length, and the range of its second byte (Unicode's well-formed table).
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    bool ok = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; ok && k < length; ++k) {
      const unsigned char next = byte(i + k);
      ok = k == 1 ? next >= low && next <= high : (next & 0xC0) == 0x80;
    }
    if (ok) {
      out.append(text, i, length);
      i += length;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string CardListPath() {
  const char* path = std::getenv("TOLVEX_SMARTCARD_LIST");
  if (path != nullptr && *path != '\0') return path;
  return "/usr/share/pcsc/smartcard_list.txt";
}

std::vector<std::string> CardNames(std::span<const std::uint8_t> atr, const std::string& path) {
  std::vector<std::string> names;
  if (atr.empty()) return names;
  std::ifstream list(path);
  if (!list) return names;
  const std::string text = Hex(atr);
  bool matching = false;
  std::string line;
  while (std::getline(list, line)) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '\t') {
      if (matching) names.push_back(WellFormed(line.substr(line.find_first_not_of('\t'))));
      continue;
    }
    matching = Matches(line, text);
  }
  return names;
}

}  // namespace tolvex::host
