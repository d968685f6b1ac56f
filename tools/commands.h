// The tolvex command's commands, each on an open session; each returns the exit code (0, 1
// after a failure it has said, 2 after a usage error).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace tolvex::tools {

int Info(Session& session, Output& out);
int Atr(Session& session, Output& out, Power reset);
int Off(Session& session, Output& out);
int Apdu(Session& session, Output& out, const std::string& protocol_name,
         const std::vector<std::string>& hex);
int Shell(Session& session, Output& out, const std::string& protocol_name);
// With `atr`, each card put in is powered up, its ATR shown, and powered down again.
int Watch(Session& session, Output& out, int count, double timeout_s, bool atr);
// Runs on its own session: the built-in simulated reader.
int Demo(Output& out);

// Pieces the commands share.
// Powers the card up: 0 with its ATR, else the exit code (the error said).
int PowerUp(Session& session, Output& out, Power reset, Bytes* atr);
std::optional<std::uint32_t> ProtocolMask(const std::string& name);
// Powers the card up and selects a protocol: the protocol, or 0 after an error (said).
std::uint32_t Prepare(Session& session, Output& out, std::uint32_t requested, int* code);

// What the card said, shown (show.cc).
void PrintAtr(const Bytes& atr, Output& out, double ms);
// Sends one APDU and shows the answer: 0, or the exit code after a failure (said).
int Exchange(Session& session, Output& out, std::uint32_t protocol, const Bytes& apdu);

}  // namespace tolvex::tools
