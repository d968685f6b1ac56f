// The tolvex command's commands, each on an open session; each returns the exit code (0, 1
// after a failure it has said, 2 after a usage error).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/apdu.h"
#include "session.h"

namespace tolvex::tools {

int Info(Session& session, Output& out);
int Atr(Session& session, Output& out, Power reset);
int Off(Session& session, Output& out);
// `protocols`: the protocol mask asked for (ProtocolNames() in arguments.h). Under T=0 the
// GET RESPONSE and Le corrections are sent for the caller unless !get_response.
int Apdu(Session& session, Output& out, std::uint32_t protocols,
         const std::vector<std::string>& hex, bool get_response = true);
int Shell(Session& session, Output& out, std::uint32_t protocols, bool get_response = true);
// With `atr`, each card put in is powered up, its ATR shown, and powered down again.
int Watch(Session& session, Output& out, int count, double timeout_s, bool atr, bool follow);
// Runs on its own session: the built-in simulated reader.
int Demo(Output& out, bool trace);

// Pieces the commands share.
// Powers the card up: 0 with its ATR, else the exit code (the error said).
int PowerUp(Session& session, Output& out, Power reset, Bytes* atr);
// Powers the card up and selects a protocol: the protocol, or 0 after an error (said).
std::uint32_t Prepare(Session& session, Output& out, std::uint32_t requested, int* code);

// What the card said, shown (show.cc).
void PrintAtr(const Bytes& atr, Output& out, double ms);
// Sends one APDU and shows the answer: 0, or the exit code after a failure (said). Under T=0,
// with `get_response`, the GET RESPONSE and Le corrections the card asks for are sent too
// (host::Transceive), each shown, marked as automatic.
int Exchange(Session& session, Output& out, std::uint32_t protocol, const Bytes& apdu,
             bool get_response = true);
// Extended-length APDUs go under T=1 only: under T=0 one is refused, said, before anything is
// sent. After a failed transmit the card's state is asked, and the error says whether the
// failure left the card powered down.
// Shows the exchanges of one command, and the data and status word gathered: 0, or the exit
// code after a failure (said; `after` is added to the words of a failed transmit).
int ShowExchanges(Output& out, std::uint32_t protocol, const host::ApduResult& result,
                  const std::string& after = {});

}  // namespace tolvex::tools
