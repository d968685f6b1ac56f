#include "sim/faults.h"

#include <charconv>
#include <optional>

#include "sim/bytes.h"
#include "sim/reader_sim.h"

namespace tolvex::sim {

bool FaultState::any() const {
  return negative_answer || silence_next || damage_in > 0 || skip_block_end != 0 ||
         mute_resets != 0 || short_atr_resets != 0 || bad_ts_resets != 0 || reader_error_next ||
         noise_left > 0;
}

std::string FaultState::Describe() const {
  if (!any()) return "none";
  std::string text;
  auto add = [&text](const std::string& part) { text += (text.empty() ? "" : " ") + part; };
  auto count = [](int n) { return n < 0 ? std::string("always") : std::to_string(n); };
  if (negative_answer) add("negative=" + HexByte(*negative_answer));
  if (silence_next) add("silence");
  if (damage_in > 0) add("damage-in=" + std::to_string(damage_in));
  if (skip_block_end != 0) add("no-block-end=" + count(skip_block_end));
  if (mute_resets != 0) add("mute=" + count(mute_resets));
  if (short_atr_resets != 0) {
    add("short-atr=" + count(short_atr_resets));
    if (short_atr_report == ShortAtrReport::kLate) {
      add("late=" + std::to_string(short_atr_late.count()) + "ms");
    }
    if (short_atr_t0) add("t0=" + HexByte(*short_atr_t0));
  }
  if (bad_ts_resets != 0) add("bad-ts=" + HexByte(bad_ts) + "x" + count(bad_ts_resets));
  if (reader_error_next) add("reader-error");
  if (noise_left > 0) add("noise-left=" + std::to_string(noise_left));
  return text;
}

bool TakeOne(int& count) {
  if (count == 0) return false;
  if (count > 0) --count;
  return true;
}

namespace {

constexpr FaultCommand kCommands[] = {
    {"insert", "[MODEL]", "a card goes in (default t0)"},
    {"remove", "", "the card comes out"},
    {"negative", "[BYTE]", "the next command gets BYTE (default 81) instead of its answer"},
    {"silence", "", "the next command gets no answer"},
    {"damage", "[K]", "the K-th card byte from now (default 1) goes out as 10 88"},
    {"no-block-end", "[COUNT|always]", "end-of-block reports left out (default 1)"},
    {"mute", "[COUNT|always]", "the card sends no ATR after the next reset(s)"},
    {"short-atr", "[early|late [MS]] [t0 BYTE] [COUNT|always]",
     "the ATR stops after T0 (BYTE instead of the card's own); the end-of-block report right "
     "behind it (early, the default) or MS (default 1000) later"},
    {"bad-ts", "[TS [COUNT|always]]", "the ATR starts with TS (default 12)"},
    {"noise", "SEED [COUNT]", "COUNT stray bytes (default 16) among what the reader sends"},
    {"dsr-drop", "", "data-set-ready drops"},
    {"dsr-raise", "", "data-set-ready comes back"},
    {"reader-error", "", "10 84 instead of the card's next answer"},
    {"wtx", "[MULTIPLIER [COUNT]]", "T=1: S(WTX request) before the next answer (default 2)"},
    {"ifs-request", "[IFSC]", "T=1: the card's own S(IFS request) before its next answer"},
    {"pts-refuse", "once|always|off", "the card refuses PTS requests"},
    {"card-parity", "", "T=1: the card finds a parity error in the next block"},
    {"abort-chain", "", "T=1: the card aborts its next chained answer halfway (S(ABORT))"},
    {"clear", "", "no more faults"},
};

bool ParseHexByte(std::string_view text, std::uint8_t* value) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  unsigned v = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v, 16);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || v > 0xFF) {
    return false;
  }
  *value = static_cast<std::uint8_t>(v);
  return true;
}

bool ParseCount(std::string_view text, int* value) {
  if (text == "always") {
    *value = -1;
    return true;
  }
  std::int64_t v = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v, 10);
  if (error != std::errc() || end != text.data() + text.size() || v < 0 || v > 1'000'000) {
    return false;
  }
  *value = static_cast<int>(v);
  return true;
}

std::string Arg(std::span<const std::string> args, std::size_t i) {
  return i < args.size() ? args[i] : std::string();
}

std::string CardSays(bool ok, const std::string& what) {
  return ok ? "ok " + what : "error: the card in the reader cannot do that (or there is none)";
}

// short-atr [early|late [MS]] [t0 BYTE] [COUNT|always]
std::string ShortAtrCommand(ReaderSim& reader, std::span<const std::string> args) {
  std::size_t i = 0;
  auto report = ShortAtrReport::kEarly;
  int late_ms = static_cast<int>(kShortAtrLateDefault.count());
  std::optional<std::uint8_t> t0;
  int count = 1;
  if (i < args.size() && (args[i] == "early" || args[i] == "late")) {
    if (args[i++] == "late") {
      report = ShortAtrReport::kLate;
      if (i < args.size() && args[i] != "always" && args[i] != "t0") {
        // After "late" a number is the time; a count may follow it.
        if (!ParseCount(args[i], &late_ms)) return "error: bad time " + args[i];
        ++i;
      }
    }
  }
  if (i < args.size() && args[i] == "t0") {
    std::uint8_t byte = 0;
    if (++i == args.size() || !ParseHexByte(args[i], &byte)) return "error: t0 takes a byte";
    t0 = byte;
    ++i;
  }
  if (i < args.size() && !ParseCount(args[i++], &count)) return "error: bad count " + args[i - 1];
  if (i < args.size()) return "error: too many arguments for short-atr";
  reader.ShortAtr(count, report, std::chrono::milliseconds(late_ms), t0);
  std::string text = "ok short-atr " + (count < 0 ? std::string("always") : std::to_string(count));
  text += report == ShortAtrReport::kLate ? ", report " + std::to_string(late_ms) + " ms late"
                                          : ", report right behind T0";
  if (t0) text += ", T0 " + HexByte(*t0);
  return text;
}

// The faults the card itself plays (the card's model must support them); none for another name.
std::optional<std::string> ApplyCardFault(ReaderSim& reader, std::string_view name,
                                          const std::string& a0, const std::string& a1) {
  std::uint8_t byte = 0;
  int count = 1;
  if (name == "wtx") {
    byte = 2;
    if (!a0.empty() && !ParseHexByte(a0, &byte)) return "error: bad multiplier " + a0;
    if (!a1.empty() && (!ParseCount(a1, &count) || count < 1)) return "error: bad count " + a1;
    bool ok = false;
    reader.WithCard([&](Card& card) { ok = card.RequestWtx(byte, count); });
    return CardSays(ok, "S(WTX request " + HexByte(byte) + ") before the next answer");
  }
  if (name == "ifs-request") {
    byte = 0x10;
    if (!a0.empty() && (!ParseHexByte(a0, &byte) || byte == 0 || byte == 0xFF)) {
      return "error: bad IFSC " + a0;
    }
    bool ok = false;
    reader.WithCard([&](Card& card) { ok = card.RequestIfs(byte); });
    return CardSays(ok, "S(IFS request " + HexByte(byte) + ") before the next answer");
  }
  if (name == "pts-refuse") {
    PtsPolicy policy;
    if (a0 == "once") {
      policy = PtsPolicy::kRefuseOnce;
    } else if (a0 == "always") {
      policy = PtsPolicy::kRefuseAlways;
    } else if (a0 == "off") {
      policy = PtsPolicy::kAccept;
    } else {
      return "error: pts-refuse takes once, always or off";
    }
    bool ok = false;
    reader.WithCard([&](Card& card) { ok = card.SetPtsPolicy(policy); });
    return CardSays(ok, "PTS policy " + a0);
  }
  if (name == "card-parity") {
    bool ok = false;
    reader.WithCard([&](Card& card) { ok = card.DamageNextBlock(); });
    return CardSays(ok, "parity error in the next block the card receives");
  }
  if (name == "abort-chain") {
    bool ok = false;
    reader.WithCard([&](Card& card) { ok = card.AbortNextChain(); });
    return CardSays(ok, "S(ABORT request) halfway through the next chained answer");
  }
  return std::nullopt;
}

}  // namespace

std::span<const FaultCommand> FaultCommands() {
  return kCommands;
}

std::string ApplyFault(ReaderSim& reader, std::string_view name,
                       std::span<const std::string> args) {
  const std::string a0 = Arg(args, 0), a1 = Arg(args, 1);
  std::uint8_t byte = 0;
  int count = 1;
  if (name == "insert") {
    const std::string model = a0.empty() ? "t0" : a0;
    return reader.InsertCard(model) ? "ok inserted " + model : "error: no card model " + model;
  }
  if (name == "remove") {
    reader.RemoveCard();
    return "ok removed";
  }
  if (name == "negative") {
    byte = 0x81;
    if (!a0.empty() && !ParseHexByte(a0, &byte)) return "error: bad byte " + a0;
    if (byte == 0x90) return "error: 90 is the answer for success";
    reader.NegativeAnswer(byte);
    return "ok next command answered " + HexByte(byte);
  }
  if (name == "silence") {
    reader.SilenceNextCommand();
    return "ok next command unanswered";
  }
  if (name == "damage") {
    if (!a0.empty() && (!ParseCount(a0, &count) || count < 1)) return "error: bad position " + a0;
    reader.DamageCardByte(count);
    return "ok card byte " + std::to_string(count) + " from now damaged";
  }
  if (name == "no-block-end" || name == "mute") {
    if (!a0.empty() && !ParseCount(a0, &count)) return "error: bad count " + a0;
    if (name == "no-block-end") reader.SkipBlockEnd(count);
    if (name == "mute") reader.MuteAfterReset(count);
    return "ok " + std::string(name) + " " + (count < 0 ? "always" : std::to_string(count));
  }
  if (name == "short-atr") return ShortAtrCommand(reader, args);
  if (name == "bad-ts") {
    byte = 0x12;
    if (!a0.empty() && !ParseHexByte(a0, &byte)) return "error: bad byte " + a0;
    if (!a1.empty() && !ParseCount(a1, &count)) return "error: bad count " + a1;
    reader.BadTs(count, byte);
    return "ok ATR starts with " + HexByte(byte);
  }
  if (name == "noise") {
    std::uint32_t seed = 0;
    const auto [end, error] = std::from_chars(a0.data(), a0.data() + a0.size(), seed, 10);
    if (a0.empty() || error != std::errc() || end != a0.data() + a0.size()) {
      return "error: noise needs a seed (decimal)";
    }
    count = 16;
    if (!a1.empty() && (!ParseCount(a1, &count) || count < 0)) return "error: bad count " + a1;
    reader.LineNoise(seed, count);
    return "ok " + std::to_string(count) + " stray bytes to come";
  }
  if (name == "dsr-drop" || name == "dsr-raise") {
    reader.SetDsr(name == "dsr-raise");
    return std::string("ok data-set-ready ") + (name == "dsr-raise" ? "raised" : "dropped");
  }
  if (name == "reader-error") {
    reader.ReaderErrorNext();
    return "ok reader error instead of the card's next answer";
  }
  if (std::optional<std::string> said = ApplyCardFault(reader, name, a0, a1)) return *said;
  if (name == "clear") {
    reader.ClearFaults();
    return "ok no faults";
  }
  return "error: no fault named " + std::string(name);
}

}  // namespace tolvex::sim
