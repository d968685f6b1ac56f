// What the card said, for people and for scripts: its ATR decoded, each APDU and its answer.
// The text and the JSON show the same fields with the same values: each parameter of the ATR
// with its effective value and the byte that gave it (or "default"), the check byte's verdict,
// each status word with its meaning.
#include <fmt/format.h>

#include "commands.h"
#include "host/apdu.h"
#include "host/atr.h"
#include "host/card_names.h"

namespace tolvex::tools {

using host::AtrDescription;
using host::AtrParameter;

namespace {

std::string TckVerdict(const AtrDescription::Check& tck) {
  const std::string need =
      tck.required ? "required: a protocol other than T=0 is indicated" : "not required: T=0 only";
  if (!tck.present) return fmt::format("absent, {}", need);
  return fmt::format("{}, {}", tck.correct ? "correct" : "wrong (T0..TCK do not XOR to 00)", need);
}

std::string ParameterValue(const AtrParameter& p) {
  return p.word.empty() ? std::to_string(p.value) : p.word;
}

std::string ShortSw(std::uint8_t sw1, std::uint8_t sw2) {
  return fmt::format("{:02X}{:02X}", sw1, sw2);
}

}  // namespace

void PrintAtr(const Bytes& atr, Output& out, double ms) {
  const AtrDescription d = tolvex::host::DescribeAtr(atr);
  const std::vector<std::string> names = host::CardNames(atr, host::CardListPath());
  Json object{{"command", "atr"}, {"atr", Hex(atr)}, {"ms", ms}};
  object["valid"] = d.valid;
  if (!d.valid) object["problem"] = d.problem;
  object["card_names"] = names;
  object["ts"] = fmt::format("{:02X}", d.ts);
  object["convention"] = d.inverse ? "inverse" : "direct";
  object["t0"] = fmt::format("{:02X}", d.t0);
  object["t0_meaning"] = d.t0_meaning;
  Json bytes = Json::array();
  for (const auto& b : d.interface_bytes) {
    bytes.push_back(
        {{"name", b.name}, {"value", fmt::format("{:02X}", b.value)}, {"meaning", b.meaning}});
  }
  object["interface_bytes"] = bytes;
  object["historical_bytes"] = Hex(d.historical);
  Json tck{{"present", d.tck.present}};
  if (d.tck.present) {
    tck["value"] = fmt::format("{:02X}", d.tck.value);
    tck["correct"] = d.tck.correct;
  }
  tck["required"] = d.tck.required;
  object["tck"] = tck;
  object["protocols"] = Protocols(d.protocols);
  if (d.valid) {
    object["rates"] = {{"f", d.f},
                       {"d", d.d},
                       {"etu_clocks", d.etu_clocks},
                       {"clock_hz", host::kReaderCardClockHz},
                       {"bit_rate", d.bit_rate},
                       {"reader_bit_rate", d.reader_bit_rate}};
  }
  for (const AtrParameter& p : d.parameters) {
    Json parameter{{"value", 0}, {"given", p.given}};
    if (p.word.empty()) {
      parameter["value"] = p.value;
    } else {
      parameter["value"] = p.word;
    }
    if (p.given) parameter["from"] = p.source;
    object[p.key] = parameter;
  }
  object["status"] = StatusValue(kSuccess);
  out.Object(object);

  out.Text(fmt::format("ATR           {}   ({:.1f} ms)", Hex(atr), ms));
  if (!d.valid) out.Text(fmt::format("              not a valid ATR: {}", d.problem));
  for (const std::string& name : names) out.Text(fmt::format("card          {}", name));
  out.Text(
      fmt::format("TS            {:02X}  {} convention", d.ts, d.inverse ? "inverse" : "direct"));
  out.Text(fmt::format("T0            {:02X}  {}", d.t0, d.t0_meaning));
  for (const auto& b : d.interface_bytes) {
    out.Text(fmt::format("{:<14}{:02X}  {}", b.name, b.value, b.meaning));
  }
  out.Text(fmt::format("historical    {}", d.historical.empty()
                                               ? "none"
                                               : fmt::format("{}   \"{}\"", Hex(d.historical),
                                                             host::Printable(d.historical))));
  out.Text(fmt::format("TCK           {}  {}",
                       d.tck.present ? fmt::format("{:02X}", d.tck.value) : "--",
                       TckVerdict(d.tck)));
  const std::vector<std::string> protocols = Protocols(d.protocols);
  out.Text(fmt::format("protocols     {}", protocols.empty()
                                               ? "none usable"
                                               : fmt::format("{}", fmt::join(protocols, ", "))));
  for (const AtrParameter& p : d.parameters) {
    out.Text(fmt::format("{:<14}{:<6}{}", p.label, ParameterValue(p),
                         p.given ? "from " + p.source : "default"));
  }
  if (d.valid) {
    out.Text(fmt::format("rates         F {}, D {}: 1 ETU = {} clocks, {} bit/s at {} MHz", d.f,
                         d.d, d.etu_clocks, host::GroupThousands(d.bit_rate),
                         host::kReaderCardClockHz / 1e6));
    out.Text(fmt::format("              this reader runs the card at {} bit/s",
                         host::GroupThousands(d.reader_bit_rate)));
  }
}

int Exchange(Session& session, Output& out, std::uint32_t protocol, const Bytes& apdu,
             bool get_response) {
  if (protocol == kT0 && host::IsExtendedApdu(apdu)) {
    return out.Error(fmt::format("an extended-length APDU ({} bytes) cannot go to the card under "
                                 "T=0: the reader carries short APDUs only there",
                                 apdu.size()),
                     host::status::kNotSupported);
  }
  Reader& reader = session.reader();
  const host::ApduResult result = host::Transceive(
      [&reader, protocol](std::span<const std::uint8_t> command) {
        return reader.Transmit(protocol, command);
      },
      apdu, get_response && protocol == kT0);
  std::string after;
  if (result.status != kSuccess && !result.exchanges.empty() &&
      result.exchanges.back().status != kSuccess) {
    // What the failure left of the card, as the driver says it.
    const auto [asked, state] = reader.State();
    if (asked == kSuccess && state >= CardState::kPresent) {
      after = state >= CardState::kPowered ? " (the card is still powered)"
                                           : " (the card is powered down)";
    }
  }
  return ShowExchanges(out, protocol, result, after);
}

// "> 00 A4 ...", or for a long command its first bytes, its length and its hex dump.
void ShowCommand(Output& out, const Bytes& command, const std::string& automatic) {
  if (command.size() <= 32) {
    out.Text(fmt::format("> {}{}", Hex(command), automatic));
    return;
  }
  out.Text(
      fmt::format("> {} ...{}, {} bytes:", Hex(std::span<const std::uint8_t>(command.data(), 7)),
                  automatic, command.size()));
  for (const std::string& line : host::HexDump(command)) out.Text("  " + line);
}

int ShowExchanges(Output& out, std::uint32_t protocol, const host::ApduResult& result,
                  const std::string& after) {
  Json exchanges = Json::array();
  double total_ms = 0;
  for (const host::ApduExchange& e : result.exchanges) {
    total_ms += e.ms;
    const bool answered = e.status == kSuccess && e.response.size() >= 2;
    const std::string automatic = !e.automatic ? ""
                                  : e.command.size() > 1 && e.command[1] == 0xC0
                                      ? "   (automatic GET RESPONSE)"
                                      : "   (automatic: sent again with the Le the card gave)";
    ShowCommand(out, e.command, automatic);
    Json exchange{{"apdu", Hex(e.command)}, {"automatic", e.automatic}, {"ms", e.ms}};
    if (!answered) {
      exchange["status"] = StatusValue(e.status == kSuccess ? kDeviceProtocolError : e.status);
      exchanges.push_back(exchange);
      continue;
    }
    const std::span<const std::uint8_t> data(e.response.data(), e.response.size() - 2);
    const std::uint8_t sw1 = e.response[e.response.size() - 2], sw2 = e.response.back();
    const std::string meaning = host::StatusWordMeaning(sw1, sw2);
    exchange["data"] = Hex(data);
    exchange["sw"] = ShortSw(sw1, sw2);
    exchange["meaning"] = meaning;
    exchanges.push_back(exchange);
    if (data.size() <= 16) {
      out.Text(fmt::format("< {}{}{:02X} {:02X}   {}   ({:.1f} ms)", Hex(data),
                           data.empty() ? "" : "  ", sw1, sw2, meaning, e.ms));
      continue;
    }
    out.Text(fmt::format("< {:02X} {:02X}   {}   ({:.1f} ms), {} bytes:", sw1, sw2, meaning, e.ms,
                         data.size()));
    for (const std::string& line : host::HexDump(data)) out.Text("  " + line);
  }
  // A command the card never answered is said as an error alone, as before any exchange.
  if (result.exchanges.size() > 1 || result.status == kSuccess) {
    Json object{{"command", "apdu"},
                {"apdu", Hex(result.exchanges.front().command)},
                {"protocol", protocol == kT1 ? "T=1" : "T=0"}};
    if (result.status == kSuccess) {
      object["data"] = Hex(result.data);
      object["sw"] = ShortSw(result.sw1, result.sw2);
      object["meaning"] = host::StatusWordMeaning(result.sw1, result.sw2);
    }
    object["ms"] = total_ms;
    object["exchanges"] = exchanges;
    object["status"] = StatusValue(result.status);
    out.Object(object);
  }
  if (result.runaway) {
    return out.Error(fmt::format("the card asked for more than {} automatic commands: stopped",
                                 host::kMaxAutomaticExchanges),
                     result.status);
  }
  if (result.status != kSuccess) {
    const Status transmit = result.exchanges.back().status;
    if (transmit != kSuccess) return out.Error(TransmitFailure(transmit) + after, transmit);
    return out.Error("the card's answer has no status word", result.status);
  }
  if (result.exchanges.size() > 1) {
    out.Text(fmt::format("= {} bytes in all, {:02X} {:02X}   {}", result.data.size(), result.sw1,
                         result.sw2, host::StatusWordMeaning(result.sw1, result.sw2)));
    for (const std::string& line : host::HexDump(result.data)) out.Text("  " + line);
  }
  return 0;
}

}  // namespace tolvex::tools
