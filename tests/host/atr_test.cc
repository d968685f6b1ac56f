// The ATR as the tools describe it: its parts, what each byte says, the check byte's verdict and
// the card's parameters for this reader, each with whether the card gave it; and `tolvex atr`
// shows the same in its text and its JSON, field by field.
#include "host/atr.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include "captured_output.h"
#include "commands.h"
#include "host/hex.h"

namespace tolvex::host {
namespace {

struct Case {
  const char* atr;
  bool valid;
  const char* interface_bytes;  // their names, in order
  const char* historical;
  const char* tck;  // "--" absent; "ok", "bad"; then " required" when it is
  std::uint32_t protocols;
  // Each parameter, "key=value" with "@BYTE" when the card gave it.
  const char* parameters;
  unsigned bit_rate;  // at 3.58 MHz
  bool inverse = false;
};

const Case kCases[] = {
    // T=0 only, no interface byte: the historical bytes end the ATR, no TCK.
    {"3B 02 14 50", true, "", "14 50", "--", 1, "fi=372 di=1 n=0 wi=10", 9624},
    // The inverse convention, as the reader hands it over (TS 3F); TB1 and TC1.
    {"3F 65 25 00 2C 09 69 90 00", true, "TB1 TC1", "2C 09 69 90 00", "--", 1,
     "fi=372 di=1 n=0@TC1 wi=10", 9624, true},
    // T=0 with TC2: WI given.
    {"3B C0 00 40 14", true, "TC1 TD1 TC2", "", "--", 1, "fi=372 di=1 n=0@TC1 wi=20@TC2", 9624},
    // A token offering T=0 and T=1, T=1's parameters left to their defaults.
    {"3B 8C 80 01 59 75 62 69 6B 65 79 4E 45 4F 72 33 58", true, "TD1 TD2",
     "59 75 62 69 6B 65 79 4E 45 4F 72 33", "ok required", 3,
     "fi=372 di=1 n=0 wi=10 ifsc=32 cwi=13 bwi=4 edc=LRC", 9624},
    // An identity card: Fi 372 Di 12 (ETU 31 clocks), IFSC 254.
    {"3B FE 18 00 00 80 31 FE 45 45 73 74 45 49 44 20 76 65 72 20 31 2E 30 A8", true,
     "TA1 TB1 TC1 TD1 TD2 TA3 TB3", "45 73 74 45 49 44 20 76 65 72 20 31 2E 30", "ok required", 3,
     "fi=372@TA1 di=12@TA1 n=0@TC1 wi=10 ifsc=254@TA3 cwi=5@TB3 bwi=4@TB3 edc=LRC", 115484},
    // T=1 with TB3 giving CWI 0: a value, not an absence.
    {"3B 80 81 21 40 60", true, "TD1 TD2 TB3", "", "ok required", 2,
     "fi=372 di=1 n=0 ifsc=32 cwi=0@TB3 bwi=4@TB3 edc=LRC", 9624},
    // Specific mode with implicit parameters: TA1 is not used.
    {"3B 90 96 10 10", true, "TA1 TD1 TA2", "", "--", 1, "fi=372 di=1 n=0 wi=10", 9624},
    // A wrong TCK: refused, its parts still shown.
    {"3B 82 81 31 20 45 54 31 33", false, "TD1 TD2 TA3 TB3", "54 31", "bad required", 0, "", 0},
    // TCK missing where T=1 requires it.
    {"3B 80 81 21 40", false, "TD1 TD2 TB3", "", "-- required", 0, "", 0},
    // Cut short in its historical bytes: none shown.
    {"3B 04 41 42", false, "", "", "--", 0, "", 0},
};

std::string Names(const AtrDescription& d) {
  std::string names;
  for (const auto& byte : d.interface_bytes) names += (names.empty() ? "" : " ") + byte.name;
  return names;
}

std::string TckVerdict(const AtrDescription::Check& tck) {
  std::string verdict = !tck.present ? "--" : tck.correct ? "ok" : "bad";
  return tck.required ? verdict + " required" : verdict;
}

std::string Parameters(const AtrDescription& d) {
  std::string text;
  for (const AtrParameter& p : d.parameters) {
    text += (text.empty() ? "" : " ") + p.key + "=" +
            (p.word.empty() ? std::to_string(p.value) : p.word) + (p.given ? "@" + p.source : "");
  }
  return text;
}

// The standard output of `f`, with the card list pointed at a file that does not exist.
template <typename F>
std::string Captured(F f) {
  ::setenv("TOLVEX_SMARTCARD_LIST", "/nonexistent/smartcard_list.txt", 1);
  return CapturedOutput(f);
}

// The text's lines by their label (the first 14 columns); the last of each.
std::map<std::string, std::string> TextFields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() < 14) continue;
    std::string label = line.substr(0, 14);
    label.erase(label.find_last_not_of(' ') + 1);
    fields[label] = line.substr(14);
  }
  return fields;
}

TEST(DescribeAtr, GivesThePartsAndTheCardsParametersWithWhetherTheCardGaveThem) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.atr);
    const AtrDescription d = DescribeAtr(*ParseHex(c.atr));
    EXPECT_EQ(d.valid, c.valid);
    EXPECT_EQ(d.problem.rfind("STATUS_", 0) == 0, !c.valid) << d.problem;
    EXPECT_EQ(d.ts, c.inverse ? 0x3F : 0x3B);
    EXPECT_EQ(d.inverse, c.inverse);
    EXPECT_EQ(Names(d), c.interface_bytes);
    EXPECT_EQ(Hex(d.historical), c.historical);
    EXPECT_EQ(TckVerdict(d.tck), c.tck);
    EXPECT_EQ(d.protocols, c.protocols);
    EXPECT_EQ(Parameters(d), c.parameters);
    EXPECT_EQ(d.bit_rate, c.bit_rate);
    if (c.valid) {
      EXPECT_DOUBLE_EQ(d.etu_clocks, static_cast<double>(d.f) / d.d);
    }
  }
  // No ATR at all: nothing to show, and refused.
  const AtrDescription none = DescribeAtr({});
  EXPECT_EQ(std::tuple(none.valid, none.ts, none.inverse, none.interface_bytes.size()),
            std::tuple(false, 0, false, std::size_t{0}));
}

TEST(DescribeAtr, SaysWhatEachInterfaceByteMeans) {
  const struct {
    const char* atr;
    const char* name;
    const char* meaning;
  } rows[] = {
      {"3B 8C 80 01 59 75 62 69 6B 65 79 4E 45 4F 72 33 58", "TD1", "T=0, TD2 follows"},
      {"3B 8C 80 01 59 75 62 69 6B 65 79 4E 45 4F 72 33 58", "TD2", "T=1, no more interface bytes"},
      {"3B 82 81 31 20 45 54 31 32", "TD2", "T=1, TA3 TB3 follow"},
      {"3B 82 81 31 20 45 54 31 32", "TB3", "BWI=4 CWI=5"},
      {"3B 90 96 80 1F C7 5E", "TA1", "Fi=512 Di=32, fmax 5 MHz"},
      {"3B 90 96 80 1F C7 5E", "TD2", "T=15 (global), TA3 follows"},
      {"3B 90 96 80 1F C7 5E", "TA3", "clock stop, no preference, classes A B C"},
      {"3B C0 00 40 14", "TC2", "WI=20 (T=0 work waiting time)"},
      {"3B 90 96 10 10", "TA2", "specific mode: T=0, implicit Fi/Di, mode can change"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.atr) + " " + row.name);
    const AtrDescription d = DescribeAtr(*ParseHex(row.atr));
    std::string meaning = "(none)";
    for (const auto& byte : d.interface_bytes) {
      if (byte.name == row.name) meaning = byte.meaning;
    }
    EXPECT_EQ(meaning, row.meaning);
  }
}

// `tolvex atr`'s text and JSON give each field the same value.
TEST(PrintAtr, TextAndJsonAgreeFieldByField) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.atr);
    const std::vector<std::uint8_t> atr = *ParseHex(c.atr);
    const AtrDescription d = DescribeAtr(atr);
    tools::Output text_out(false), json_out(true);
    const auto text = TextFields(Captured([&] { tools::PrintAtr(atr, text_out, 1.0); }));
    const tools::Json json =
        tools::Json::parse(Captured([&] { tools::PrintAtr(atr, json_out, 1.0); }));

    EXPECT_EQ(json["valid"], c.valid);
    EXPECT_EQ(text.count("protocols") + json.count("protocols"), 2u);
    for (const auto& byte : json["interface_bytes"]) {
      const std::string name = byte["name"];
      ASSERT_EQ(text.count(name), 1u) << name;
      EXPECT_EQ(text.at(name),
                byte["value"].get<std::string>() + "  " + byte["meaning"].get<std::string>());
    }
    // The check byte: its value and verdict.
    const tools::Json& tck = json["tck"];
    const std::string tck_text = text.at("TCK");
    EXPECT_EQ(tck_text.substr(0, 2), tck["present"] ? tck["value"].get<std::string>() : "--");
    EXPECT_EQ(tck_text.find("correct") == 4, tck.value("correct", false)) << tck_text;
    EXPECT_EQ(tck_text.find("absent") == 4, !tck["present"].get<bool>()) << tck_text;
    EXPECT_EQ(tck_text.find(", required") != std::string::npos, tck["required"].get<bool>());

    // Each parameter: the same effective value, given by the same byte or not given at all.
    std::size_t parameters = 0;
    for (const auto& [label, line] : text) {
      const AtrParameter* p = nullptr;
      for (const AtrParameter& candidate : d.parameters) {
        if (candidate.label == label) p = &candidate;
      }
      if (p == nullptr) continue;
      ++parameters;
      SCOPED_TRACE(label);
      ASSERT_TRUE(json.contains(p->key));
      const tools::Json& field = json[p->key];
      std::istringstream words(line);
      std::string value, from, source;
      words >> value >> from >> source;
      EXPECT_EQ(value, field["value"].is_string() ? field["value"].get<std::string>()
                                                  : std::to_string(field["value"].get<unsigned>()));
      EXPECT_EQ(from == "from", field["given"].get<bool>());
      EXPECT_EQ(source, field.value("from", ""));
    }
    EXPECT_EQ(parameters, d.parameters.size());
    // The rates, valid ATRs only.
    EXPECT_EQ(text.count("rates"), json.count("rates"));
    if (json.contains("rates")) {
      const tools::Json& rates = json["rates"];
      unsigned f = 0, d_ = 0;
      double etu = 0;
      char bit_rate[32] = {};
      ASSERT_EQ(std::sscanf(text.at("rates").c_str(), "F %u, D %u: 1 ETU = %lf clocks, %31s bit/s",
                            &f, &d_, &etu, bit_rate),
                4)
          << text.at("rates");
      EXPECT_EQ(std::tuple(f, d_, etu, std::string(bit_rate)),
                std::tuple(rates["f"].get<unsigned>(), rates["d"].get<unsigned>(),
                           rates["etu_clocks"].get<double>(),
                           GroupThousands(rates["bit_rate"].get<unsigned>())));
      EXPECT_EQ(rates["bit_rate"], c.bit_rate);
    }
  }
}

TEST(GroupThousands, PutsACommaEveryThreeDigits) {
  const std::pair<unsigned long long, const char*> rows[] = {
      {0, "0"}, {999, "999"}, {9624, "9,624"}, {115484, "115,484"}, {1234567, "1,234,567"}};
  for (const auto& [number, text] : rows) EXPECT_EQ(GroupThousands(number), text);
}

}  // namespace
}  // namespace tolvex::host
