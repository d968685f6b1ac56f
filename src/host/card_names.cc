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
      if (matching) names.push_back(line.substr(line.find_first_not_of('\t')));
      continue;
    }
    matching = Matches(line, text);
  }
  return names;
}

}  // namespace tolvex::host
