// The line between the host and the reader as a serial port monitor sees it, decoded: the
// host's frames and the reader's stream, chunk by chunk as they were written and received,
// turned into transcript entries in the simulator's own words ("host: write register 5 = 80
// 25 00", "reader: answer 90", "card: 3B 02 14 50", "reader: event end of block"), each with
// its time and the bytes as they were on the wire.
//
// The host's side is cut into frames by FrameParser. The reader's side is unescaped by
// StreamDecoder and read as the driver reads it: after each frame of the host the first data
// byte is the reader's answer (the value, for a register read), the data bytes after it are
// the card's, relayed; 0x10 and a code is an event. An end of block or a damaged character
// reported after a command but before its answer belongs to the exchange before; a reader
// error in place of the answer is the answer. Data bytes before the host's first frame are
// nobody's: noise. Anything else the decoder does not understand (an escape with an unknown
// code) is shown as its bytes, and nothing is dropped.
//
// The decoding does not depend on how the bytes were cut into chunks: an escape may end one
// chunk and its code begin the next, the card's bytes are gathered into one entry until
// something else comes (at most kMaxEntryBytes an entry). What is held back waiting for more
// comes out with Flush (the card's bytes so far) or Finish (all, also an escape without its
// code and a frame cut short). The input is untrusted: any bytes, any chunks.
#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <vector>

#include "sim/stream.h"
#include "sim/transcript.h"

namespace tolvex::sim {

struct DecodedEntry {
  TranscriptEntry entry;  // entry.at: when its first byte was written or received
  Bytes wire;             // its bytes as they were on the line (escapes included)
};

class LineDecoder {
 public:
  static constexpr std::size_t kMaxEntryBytes = 32;

  // A chunk the host wrote, or received from the reader, at `at`; decoded entries go to `out`.
  void HostWrote(std::span<const std::uint8_t> chunk, std::chrono::nanoseconds at,
                 std::vector<DecodedEntry>& out);
  void ReaderSent(std::span<const std::uint8_t> chunk, std::chrono::nanoseconds at,
                  std::vector<DecodedEntry>& out);
  // The card's bytes gathered so far, as one entry (the line has gone quiet).
  void Flush(std::vector<DecodedEntry>& out);
  // Everything held back: the line is done.
  void Finish(std::vector<DecodedEntry>& out);

 private:
  void Data(std::uint8_t value, std::chrono::nanoseconds at, std::vector<DecodedEntry>& out);
  void Event(std::uint8_t code, std::chrono::nanoseconds at, std::vector<DecodedEntry>& out);
  static void Add(std::vector<DecodedEntry>& out, EntryKind kind, std::chrono::nanoseconds at,
                  Bytes wire, std::uint8_t code = 0, std::string note = {});

  FrameParser frames_;
  std::chrono::nanoseconds frame_at_{0};  // when the frame in frames_ began
  StreamDecoder stream_;
  std::chrono::nanoseconds escape_at_{0};  // when the escape awaiting its code came
  bool commanded_ = false;                 // the host has written a frame
  bool answer_pending_ = false;            // the reader has not answered the last frame yet
  // The card's bytes (or noise) gathered into one entry.
  EntryKind run_kind_ = EntryKind::kCardBytes;
  std::chrono::nanoseconds run_at_{0};
  Bytes run_, run_wire_;
};

}  // namespace tolvex::sim
