// The wire trace's decoder (tolvex --trace): any bytes from the host and the reader, in any
// chunks, with flushes between them. Whatever the input: no entry without words, no time later
// than the chunk that completed it, and the entries' wire bytes are, way by way, exactly the
// bytes that went that way, nothing dropped or made up.
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "input.h"
#include "sim/line_decoder.h"

using tolvex::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tolvex::fuzz::Input input(data, size);
  tolvex::sim::LineDecoder decoder;
  std::vector<tolvex::sim::DecodedEntry> entries;
  tolvex::sim::Bytes sent[2], decoded[2];  // [0] the host's, [1] the reader's
  for (std::chrono::nanoseconds at{0}; !input.empty(); at += std::chrono::microseconds(500)) {
    const std::uint8_t choice = input.Byte();
    const bool from_reader = (choice & 1) != 0;
    const tolvex::sim::Bytes chunk = input.Bytes(choice >> 2);
    sent[from_reader].insert(sent[from_reader].end(), chunk.begin(), chunk.end());
    const std::size_t before = entries.size();
    if (from_reader) {
      decoder.ReaderSent(chunk, at, entries);
    } else {
      decoder.HostWrote(chunk, at, entries);
    }
    if (choice & 2) decoder.Flush(entries);
    for (std::size_t i = before; i < entries.size(); ++i) Check(entries[i].entry.at <= at);
  }
  decoder.Finish(entries);
  for (const auto& e : entries) {
    Check(!e.entry.ToString().empty() && !e.wire.empty());
    const bool reader = e.entry.origin() != tolvex::sim::Origin::kHost;
    decoded[reader].insert(decoded[reader].end(), e.wire.begin(), e.wire.end());
  }
  Check(decoded[0] == sent[0] && decoded[1] == sent[1]);
  return 0;
}
