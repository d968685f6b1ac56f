// The commands on the reader and the card: info, atr, off, apdu.
#include <fmt/format.h>

#include "commands.h"
#include "host/hex.h"

namespace tolvex::tools {

// --- info -----------------------------------------------------------------------------------

int Info(Session& session, Output& out) {
  Reader& reader = session.reader();
  const auto [status, versions] = reader.Versions();
  if (status != kSuccess) return out.Error("the reader did not give its versions", status);
  Status failed = kSuccess;  // the first attribute the reader did not give
  auto keep = [&failed](auto result) {
    if (failed == kSuccess) failed = result.status;
    return result.value;
  };
  const std::string vendor = keep(reader.AttributeText(0x10100));
  const std::string type = keep(reader.AttributeText(0x10101));
  const std::uint32_t unit = keep(reader.AttributeNumber(0x7FFF0001));
  const std::uint32_t protocols = keep(reader.AttributeNumber(0x30120));
  const std::uint32_t clock = keep(reader.AttributeNumber(0x30121));
  const std::uint32_t clock_max = keep(reader.AttributeNumber(0x30122));
  const std::uint32_t rate = keep(reader.AttributeNumber(0x30123));
  const std::uint32_t rate_max = keep(reader.AttributeNumber(0x30124));
  const std::uint32_t ifsd = keep(reader.AttributeNumber(0x30125));
  const CardState state = keep(reader.State());
  if (failed != kSuccess) return out.Error("the reader did not give its attributes", failed);
  const std::string firmware =
      fmt::format("{}.{}", versions.firmware_major, versions.firmware_minor);
  const std::string driver = fmt::format("{}.{}", versions.driver_major, versions.driver_minor);
  // The library's interface version is in binary-coded hundredths: 0x150 is 1.50.
  const std::string library =
      fmt::format("{:X}.{:02X}", versions.library >> 8, versions.library & 0xFF);
  out.Object(Json{{"command", "info"},
                  {"vendor", vendor},
                  {"reader", type},
                  {"unit", unit},
                  {"firmware", firmware},
                  {"driver", driver},
                  {"library", library},
                  {"protocols", Protocols(protocols)},
                  {"clock_khz", {{"default", clock}, {"max", clock_max}}},
                  {"data_rate", {{"default", rate}, {"max", rate_max}}},
                  {"max_ifsd", ifsd},
                  {"card", CardStateWords(static_cast<std::uint32_t>(state))},
                  {"status", StatusValue(kSuccess)}});
  out.Text(fmt::format("reader        {} {} (unit {})", vendor, type, unit));
  out.Text(fmt::format("firmware      {}", firmware));
  out.Text(fmt::format("driver        {}   library {}", driver, library));
  out.Text(fmt::format("protocols     {}", fmt::join(Protocols(protocols), ", ")));
  out.Text(fmt::format("clock         {} kHz (max {} kHz)", clock, clock_max));
  out.Text(fmt::format("data rate     {} bit/s (max {} bit/s)", rate, rate_max));
  out.Text(fmt::format("max IFSD      {}", ifsd));
  out.Text(fmt::format("card          {}", CardStateWords(static_cast<std::uint32_t>(state))));
  return 0;
}

// --- atr, off -------------------------------------------------------------------------------

int PowerUp(Session& session, Output& out, Power reset, Bytes* atr) {
  auto [status, answer] = session.reader().PowerCard(reset);
  if (status != kSuccess) return out.Error(PowerFailure(status), status);
  *atr = std::move(answer);
  return 0;
}

int Atr(Session& session, Output& out, Power reset) {
  Bytes atr;
  const auto start = Clock::now();
  if (int code = PowerUp(session, out, reset, &atr)) return code;
  PrintAtr(atr, out, Milliseconds(Clock::now() - start));
  return 0;
}

int Off(Session& session, Output& out) {
  const Status status = session.reader().PowerCard(Power::kDown).status;
  if (status != kSuccess) return out.Error("the card could not be powered down", status);
  out.Object(Json{{"command", "off"}, {"status", StatusValue(kSuccess)}});
  out.Text("card powered down");
  return 0;
}

// --- apdu ----------------------------------------------------------------------------

// Powers the card up and selects a protocol: the protocol, or 0 after an error (said).
std::uint32_t Prepare(Session& session, Output& out, std::uint32_t requested, int* code) {
  Bytes atr;
  if ((*code = PowerUp(session, out, Power::kColdReset, &atr)) != 0) return 0;
  const auto [status, selected] = session.reader().SetProtocol(requested);
  if (status != kSuccess) {
    *code = out.Error(ProtocolFailure(status), status);
    return 0;
  }
  out.Text(fmt::format("ATR {}   protocol {}", Hex(atr), selected == kT1 ? "T=1" : "T=0"));
  return selected;
}

int Apdu(Session& session, Output& out, std::uint32_t protocols,
         const std::vector<std::string>& hex, bool get_response) {
  std::vector<Bytes> apdus;
  for (const std::string& text : hex) {
    auto bytes = tolvex::host::ParseHex(text);
    if (!bytes || bytes->size() < 4) return out.Usage("not an APDU in hex: '" + text + "'");
    apdus.push_back(*bytes);
  }
  int code = 0;
  const std::uint32_t protocol = Prepare(session, out, protocols, &code);
  if (code != 0) return code;
  for (const Bytes& apdu : apdus) {
    if (int failed = Exchange(session, out, protocol, apdu, get_response)) return failed;
  }
  return 0;
}

}  // namespace tolvex::tools
