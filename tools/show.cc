// What the card said, for people and for scripts: its ATR decoded, each APDU and its answer.
#include <fmt/format.h>

#include "commands.h"
#include "host/atr.h"

namespace tolvex::tools {

using host::AtrDescription;

void PrintAtr(const Bytes& atr, Output& out, double ms) {
  const AtrDescription d = tolvex::host::DescribeAtr(atr);
  Json object{{"command", "atr"}, {"atr", Hex(atr)}, {"ms", ms}};
  object["valid"] = d.valid;
  object["ts"] = fmt::format("{:02X}", d.ts);
  object["convention"] = d.inverse ? "inverse" : "direct";
  object["t0"] = fmt::format("{:02X}", d.t0);
  Json bytes = Json::array();
  for (const auto& b : d.interface_bytes)
    bytes.push_back({{"name", b.name}, {"value", fmt::format("{:02X}", b.value)}});
  object["interface_bytes"] = bytes;
  object["protocols"] = Protocols(d.protocols);
  object["fi"] = d.fi;
  object["di"] = d.di;
  object["n"] = d.n;
  object["wi"] = d.wi;
  if (d.protocols & kT1) {
    object["ifsc"] = d.ifsc;
    object["cwi"] = d.cwi;
    object["bwi"] = d.bwi;
    object["edc"] = d.crc ? "CRC" : "LRC";
  }
  object["historical_bytes"] = Hex(d.historical);
  if (d.tck) object["tck"] = fmt::format("{:02X}", *d.tck);
  object["status"] = StatusValue(kSuccess);
  out.Object(object);

  out.Text(fmt::format("ATR           {}   ({:.1f} ms)", Hex(atr), ms));
  if (!d.valid) out.Text(fmt::format("              not a valid ATR: {}", d.problem));
  out.Text(
      fmt::format("TS            {:02X}  ({} convention)", d.ts, d.inverse ? "inverse" : "direct"));
  out.Text(fmt::format("T0            {:02X}  ({} historical bytes)", d.t0, d.historical.size()));
  for (const auto& b : d.interface_bytes) out.Text(fmt::format("{:<14}{:02X}", b.name, b.value));
  out.Text(fmt::format("protocols     {}", fmt::join(Protocols(d.protocols), ", ")));
  out.Text(fmt::format("Fi / Di       {} / {}", d.fi, d.di));
  auto given = [](unsigned value, unsigned fallback) {
    return value != 0 ? std::to_string(value) : fmt::format("{} (not given)", fallback);
  };
  out.Text(fmt::format("N             {}", d.n));
  out.Text(fmt::format("WI            {}", given(d.wi, 10)));
  if (d.protocols & kT1) {
    out.Text(fmt::format("IFSC          {}", d.ifsc));
    out.Text(fmt::format("CWI / BWI     {} / {}", given(d.cwi, 13), given(d.bwi, 4)));
    out.Text(fmt::format("EDC           {}", d.crc ? "CRC" : "LRC"));
  }
  out.Text(fmt::format("historical    {}", d.historical.empty() ? "none" : Hex(d.historical)));
  out.Text(fmt::format("TCK           {}", d.tck ? fmt::format("{:02X}", *d.tck) : "none"));
}

int Exchange(Session& session, Output& out, std::uint32_t protocol, const Bytes& apdu) {
  const auto start = Clock::now();
  const auto [status, response] = session.reader().Transmit(protocol, apdu);
  const double ms = Milliseconds(Clock::now() - start);
  if (status != kSuccess) return out.Error(TransmitFailure(status), status);
  if (response.size() < 2)
    return out.Error("the card's answer has no status word", kDeviceProtocolError);
  const Bytes data(response.begin(), response.end() - 2);
  const std::string sw =
      fmt::format("{:02X}{:02X}", response[response.size() - 2], response.back());
  out.Object(Json{{"command", "apdu"},
                  {"apdu", Hex(apdu)},
                  {"protocol", protocol == kT1 ? "T=1" : "T=0"},
                  {"data", Hex(data)},
                  {"sw", sw},
                  {"ms", ms},
                  {"status", StatusValue(kSuccess)}});
  out.Text(fmt::format("> {}", Hex(apdu)));
  out.Text(fmt::format("< {}{}{}   ({:.1f} ms)", Hex(data), data.empty() ? "" : " ", sw, ms));
  return 0;
}

}  // namespace tolvex::tools
