// APDUs as the tools show and send them: status words in ISO/IEC 7816-4's words, response data
// as a hex dump, the GET RESPONSE and Le corrections sent under T=0 (against scripted cards and
// the simulated T=0 card), and card names from a list in pcsc-tools' format.
#include "host/apdu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>

#include "captured_output.h"
#include "commands.h"
#include "host/card_names.h"
#include "host/hex.h"
#include "host/host.h"
#include "host/reader.h"
#include "host/simulated_reader.h"
#include "sim/application.h"

namespace tolvex::host {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view hex) {
  return *ParseHex(hex);
}

// "00 C0 00 00 04, 90 00": the APDUs of a list, in order.
std::vector<std::string> Split(std::string_view list) {
  std::vector<std::string> items;
  for (std::size_t at = 0, end; at < list.size(); at = end + 2) {
    end = std::min(list.find(", ", at), list.size());
    items.emplace_back(list.substr(at, end - at));
  }
  return items;
}

// The rows that take more than a look-up: counts computed from SW2, groups that stand for any
// SW2, the code shown where only the group is known, what lies outside the standard. (Each
// specific text is the table's own.)
TEST(StatusWordMeaning, GivesTheStandardsWords) {
  const struct {
    std::uint16_t sw;
    const char* meaning;
  } rows[] = {
      {0x9000, "normal processing"},
      {0x6112, "normal processing: 18 bytes still available"},
      {0x6100, "normal processing: 256 or more bytes still available"},
      {0x6C10, "checking error: wrong Le: 16 bytes available"},
      {0x6210, "warning: memory unchanged (6210)"},
      {0x63C3, "warning: counter 3"},
      {0x6982, "checking error: security status not satisfied"},
      {0x6986, "checking error: command not allowed (no current EF)"},
      {0x6999, "checking error: command not allowed (6999)"},
      {0x6A82, "checking error: file or application not found"},
      {0x6B00, "checking error: wrong parameters P1-P2 (6B00)"},
      {0x6F00, "checking error: no precise diagnosis (6F00)"},
      {0x9123, "proprietary status word (9123)"},
      {0x1234, "not an ISO/IEC 7816-4 status word (1234)"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(StatusWordMeaning(row.sw >> 8, row.sw & 0xFF), row.meaning) << std::hex << row.sw;
  }
}

// Which APDUs are of extended length, and the room their responses get.
TEST(IsExtendedApdu, TellsTheCasesByTheirLengthBytes) {
  const struct {
    const char* apdu;
    bool extended;
  } rows[] = {
      {"00 A4 04 00", false},                      // case 1
      {"00 84 00 00 00", false},                   // 2S, Le 256
      {"00 A4 04 00 02 3F 00", false},             // 3S
      {"00 A4 04 00 02 3F 00 00", false},          // 4S
      {"00 84 00 00 00 01 01", true},              // 2E
      {"00 84 00 00 00 00 00", true},              // 2E, Le 65,536
      {"80 EE 00 00 00 00 02 01 02", true},        // 3E
      {"80 EE 00 00 00 00 02 01 02 00 00", true},  // 4E
      {"80 EE 00 00 00 01", false},                // a 00, then too little
      {"80 EE 00 00 00 00 03 01 02", false},       // Lc 3, two bytes
      {"80 EE 00 00 00 00 00 01", false},          // Lc 0 with data
      {"80 EE 00 00 00 00 02 01 02 00", false},    // one Le byte
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.apdu);
    EXPECT_EQ(IsExtendedApdu(B(row.apdu)), row.extended);
    EXPECT_EQ(ResponseRoom(B(row.apdu)), row.extended ? 65538u : 258u);
  }
}

TEST(HexDump, SixteenBytesALineWithTheirPrintableCharacters) {
  Bytes data;
  for (int i = 0; i < 18; ++i) data.push_back(static_cast<std::uint8_t>(0x3C + i * 3));
  const std::vector<std::string> lines = HexDump(data);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "0000  3C 3F 42 45 48 4B 4E 51 54 57 5A 5D 60 63 66 69  <?BEHKNQTWZ]`cfi");
  EXPECT_EQ(lines[1], "0010  6C 6F                                            lo");
  EXPECT_EQ(Printable(B("00 41 7F 80 7E 20")), ".A..~ ");
  EXPECT_TRUE(HexDump({}).empty());
}

// A card that answers from a script, keeping the commands it was sent.
struct ScriptedCard {
  std::deque<Bytes> answers;  // empty: it answers "61 01" with one byte, forever
  std::vector<std::string> sent;
  Result<Bytes> operator()(std::span<const std::uint8_t> command) {
    sent.push_back(Hex(command));
    if (answers.empty()) return {status::kSuccess, B("AA 61 01")};
    Bytes answer = answers.front();
    answers.pop_front();
    if (answer == B("EE")) return {status::kIoTimeout, {}};  // the card does not answer
    return {status::kSuccess, answer};
  }
};

TEST(Transceive, SendsTheGetResponsesAndLeCorrectionsTheCardAsksFor) {
  const struct {
    const char* what;
    const char* command;
    bool automatic;
    const char* answers;  // to each command sent, ", " between them
    const char* sent;
    const char* data;
    std::uint16_t sw;
    Status status;
  } rows[] = {
      {"a plain answer", "00 B0 00 00 02", true, "01 02 90 00", "00 B0 00 00 02", "01 02", 0x9000,
       status::kSuccess},
      {"61 xx, fetched in two GET RESPONSEs, data joined", "00 A4 04 00 02 3F 00", true,
       "61 04, 01 02 61 02, 03 04 90 00", "00 A4 04 00 02 3F 00, 00 C0 00 00 04, 00 C0 00 00 02",
       "01 02 03 04", 0x9000, status::kSuccess},
      {"the class on a logical channel kept, the chaining bit dropped", "13 A4 04 00 02 3F 00",
       true, "61 00, 6A 82", "13 A4 04 00 02 3F 00, 03 C0 00 00 00", "", 0x6A82, status::kSuccess},
      {"a proprietary class: GET RESPONSE in class 00", "80 EE 00 00 01 55", true,
       "61 01, 55 90 00", "80 EE 00 00 01 55, 00 C0 00 00 01", "55", 0x9000, status::kSuccess},
      {"6C xx: sent again with Le = xx", "00 B0 00 00 20", true, "6C 03, 07 08 09 90 00",
       "00 B0 00 00 20, 00 B0 00 00 03", "07 08 09", 0x9000, status::kSuccess},
      {"6C xx to a command without Le, a stray byte before it not kept", "00 84 00 00", true,
       "99 6C 08, 6D 00", "00 84 00 00, 00 84 00 00 08", "", 0x6D00, status::kSuccess},
      {"6C xx to a command with data: shown as it is", "00 D6 00 00 01 AA", true, "6C 01",
       "00 D6 00 00 01 AA", "", 0x6C01, status::kSuccess},
      {"switched off: 61 xx shown as it is", "00 A4 04 00 02 3F 00", false, "61 04",
       "00 A4 04 00 02 3F 00", "", 0x6104, status::kSuccess},
      {"the card stops answering in the chain", "00 A4 04 00 02 3F 00", true, "61 04, EE",
       "00 A4 04 00 02 3F 00, 00 C0 00 00 04", "", 0x6104, status::kIoTimeout},
      {"an answer without status word", "00 B0 00 00 01", true, "90", "00 B0 00 00 01", "", 0,
       status::kDeviceProtocolError},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedCard card;
    for (const std::string& answer : Split(row.answers)) card.answers.push_back(B(answer));
    const ApduResult result = Transceive(std::ref(card), B(row.command), row.automatic);
    EXPECT_EQ(card.sent, Split(row.sent));
    EXPECT_TRUE(card.answers.empty());
    ASSERT_EQ(result.exchanges.size(), card.sent.size());
    for (std::size_t i = 0; i < result.exchanges.size(); ++i) {
      EXPECT_EQ(Hex(result.exchanges[i].command), card.sent[i]);
      EXPECT_EQ(result.exchanges[i].automatic, i > 0);
    }
    EXPECT_EQ(Hex(result.data), row.data);
    EXPECT_EQ(result.sw1 << 8 | result.sw2, row.sw);
    EXPECT_EQ(result.status, row.status);
    EXPECT_FALSE(result.runaway);
  }
}

TEST(Transceive, StopsACardThatAsksForGetResponsesWithoutEnd) {
  ScriptedCard card;  // "AA 61 01" to everything
  const ApduResult result = Transceive(std::ref(card), B("00 A4 04 00 02 3F 00"), true);
  EXPECT_TRUE(result.runaway);
  EXPECT_EQ(result.status, status::kDeviceProtocolError);
  EXPECT_EQ(card.sent.size(), std::size_t{kMaxAutomaticExchanges} + 1);
  EXPECT_EQ(result.exchanges.size(), card.sent.size());
  EXPECT_EQ(result.data.size(), card.sent.size());  // one byte an answer, all kept
  EXPECT_EQ(card.sent.back(), "00 C0 00 00 01");
}

// `tolvex apdu` shows each exchange, the automatic ones marked, and stops a runaway card with
// an error.
TEST(ShowExchanges, MarksTheAutomaticCommandsAndSaysWhenTheCardWasStopped) {
  const struct {
    const char* what;
    const char* answers;  // none: "AA 61 01" forever
    int code;
    int exchanges;  // in the JSON's apdu object; 0: no apdu object
    const char* sw;
    const char* data;
    bool error;  // an error line follows
  } rows[] = {
      {"a chain", "61 02, 01 02 90 00", 0, 2, "9000", "01 02", false},
      {"a runaway card", "", 1, kMaxAutomaticExchanges + 1, "", "", true},
      {"no answer at all", "EE", 1, 0, "", "", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedCard card;
    for (const std::string& answer : Split(row.answers)) card.answers.push_back(B(answer));
    const ApduResult result = Transceive(std::ref(card), B("00 A4 04 00 02 3F 00"), true);
    tools::Output text_out(false), json_out(true);
    int code = -1;
    const std::string text =
        CapturedOutput([&] { code = tools::ShowExchanges(text_out, tools::kT0, result); });
    EXPECT_EQ(code, row.code);
    std::istringstream json_lines(
        CapturedOutput([&] { (void)tools::ShowExchanges(json_out, tools::kT0, result); }));
    int automatic_text = 0;
    for (std::size_t at = 0; (at = text.find("(automatic GET RESPONSE)", at)) != std::string::npos;
         ++at) {
      ++automatic_text;
    }
    std::string line;
    tools::Json apdu, error;
    while (std::getline(json_lines, line)) {
      const tools::Json object = tools::Json::parse(line);
      (object.contains("error") ? error : apdu) = object;
    }
    EXPECT_EQ(error.is_null(), !row.error);
    if (row.exchanges == 0) {
      EXPECT_TRUE(apdu.is_null());
      continue;
    }
    ASSERT_EQ(apdu["exchanges"].size(), static_cast<std::size_t>(row.exchanges));
    int automatic_json = 0;
    for (const auto& exchange : apdu["exchanges"]) automatic_json += exchange["automatic"] ? 1 : 0;
    EXPECT_EQ(automatic_json, row.exchanges - 1);
    EXPECT_EQ(automatic_text, automatic_json);
    EXPECT_EQ(apdu.value("sw", ""), row.sw);
    EXPECT_EQ(apdu.value("data", ""), row.data);
  }
}

// The simulated T=0 card answers 61 xx after a command with data and 6C xx to a wrong Le.
TEST(Transceive, FetchesTheSimulatedT0CardsAnswers) {
  Host host({.skip_delays = true});
  SimulatedReader simulator = host.AddSimulatedReader(0);
  ASSERT_TRUE(simulator.InsertCard("t0", CardReport::kNotSent));
  ASSERT_EQ(host.Start(), status::kSuccess);
  auto opened = Reader::Open(host, 0);
  ASSERT_EQ(opened.status, status::kSuccess);
  Reader& reader = *opened.value;
  ASSERT_EQ(reader.PowerCard(Power::kColdReset).status, status::kSuccess);
  ASSERT_EQ(reader.SetProtocol(1).value, 1u);
  auto transmit = [&reader](std::span<const std::uint8_t> command) {
    return reader.Transmit(1, command);
  };
  const Bytes& file = sim::Application::FileContents();
  const struct {
    const char* command;
    const char* sent;
    Bytes data;
    int sw = 0x9000;
  } rows[] = {
      {"00 A4 00 00", "00 A4 00 00", {}, 0x6700},  // case 1: a SELECT that names nothing
      {"80 EE 00 00 04 74 6F 6C 76", "80 EE 00 00 04 74 6F 6C 76, 00 C0 00 00 04",
       B("74 6F 6C 76")},
      {"00 A4 00 00 02 01 01", "00 A4 00 00 02 01 01", {}},
      // 16 bytes from offset 0x130 to the end of the file: Le 20 gets 6C 10.
      {"00 B0 01 30 20", "00 B0 01 30 20, 00 B0 01 30 10", Bytes(file.begin() + 0x130, file.end())},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command);
    const ApduResult result = Transceive(transmit, B(row.command), true);
    ASSERT_EQ(result.status, status::kSuccess);
    std::vector<std::string> sent;
    for (const ApduExchange& e : result.exchanges) sent.push_back(Hex(e.command));
    EXPECT_EQ(sent, Split(row.sent));
    EXPECT_EQ(Hex(result.data), Hex(row.data));
    EXPECT_EQ(result.sw1 << 8 | result.sw2, row.sw);
  }
}

TEST(CardNames, FindsTheCardsInAListInPcscToolsFormat) {
  const std::string path = testing::TempDir() + "tolvex_smartcard_list.txt";
  {
    std::ofstream list(path);
    list << "# smartcard_list.txt, as pcsc-tools gives it\n"
            "3B 02 14 50\n"
            "\tTolvex simulated T=0 card\n"
            "\tsecond line\n"
            "\n"
            "3B 8C 80 01 59 75 62 69 6B 65 79 .. .. .. .. .. ..\n"
            "\tToken, any version\n"
            "\n"
            "3B 8C 80 01 59 75 62 69 6B 65 79 4E 45 4F 72 33 5[0-9A]\n"
            "\tToken, a choice of digits\n"
            "\n"
            "3b 02 14 5.\r\n"
            "\tlower case, a line end from elsewhere\r\n"
            "\n"
            "3B (02\n"
            "\tnot a regular expression: left out\n"
            "\n"
            "3B FF .*\n"
            "\tany ATR of 3B FF\n"
            "\tcart\xC3\xA3o, cart\xE3o, \xED\xA0\x80\n";
  }
  const struct {
    const char* atr;
    const char* names;  // joined with '|'
  } rows[] = {
      {"3B 02 14 50",
       "Tolvex simulated T=0 card|second line|lower case, a line end from elsewhere"},
      {"3B 02 14 51", "lower case, a line end from elsewhere"},
      {"3B 8C 80 01 59 75 62 69 6B 65 79 4E 45 4F 72 33 58",
       "Token, any version|Token, a choice of digits"},
      {"3B 02 14", ""},  // the whole ATR must match
      {"3B FF 11 00 00 E0", "any ATR of 3B FF|cart\xC3\xA3o, cart?o, ???"},
      {"3B 00", ""},
  };
  for (const auto& row : rows) {
    std::string names;
    for (const std::string& name : CardNames(B(row.atr), path)) {
      names += (names.empty() ? "" : "|") + name;
    }
    EXPECT_EQ(names, row.names) << row.atr;
  }
  EXPECT_TRUE(CardNames(B("3B 02 14 50"), path + ".missing").empty());
  std::remove(path.c_str());
}

// A name is shown only as well-formed UTF-8: each row a name in the list, at the edges of
// Unicode's table of well-formed sequences, and what is shown of it.
TEST(CardNames, ShowOnlyWellFormedUtf8) {
  const struct {
    const char* name;
    const char* shown;
  } rows[] = {
      {"\x7F", "\x7F"},
      {"\xC1\xBF", "??"},
      {"\xC2\x80 \xDF\xBF", "\xC2\x80 \xDF\xBF"},
      {"\xE0\x9F\xBF", "???"},
      {"\xE0\xA0\x80", "\xE0\xA0\x80"},
      {"\xE1\x80\x80", "\xE1\x80\x80"},
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},
      {"\xF0\x8F\xBF\xBF", "????"},
      {"\xF0\x90\x80\x80!", "\xF0\x90\x80\x80!"},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"\xF4\x90\x80\x80", "????"},
      {"\xF5\x80\x80\x80", "????"},
      {"a\xE2\x82", "a??"},
  };
  const std::string path = testing::TempDir() + "tolvex_smartcard_list_utf8.txt";
  {
    std::ofstream list(path);
    list << "3B 00\n";
    for (const auto& row : rows) list << "\t" << row.name << "\n";
  }
  const std::vector<std::string> names = CardNames(B("3B 00"), path);
  ASSERT_EQ(names.size(), std::size(rows));
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], rows[i].shown) << i;
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tolvex::host
