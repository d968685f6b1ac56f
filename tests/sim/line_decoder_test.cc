// The line decoder against recorded traffic: each row is what the host wrote ("h:") and what
// the reader sent ("r:"), chunk by chunk ("|"), and the lines a person reads. Every row is
// decoded three ways, the reader's chunks as recorded, cut into single bytes, and run together,
// and must read the same each way; whatever the chunks, the entries' wire bytes are exactly
// the bytes that went each way, nothing dropped or made up.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim/line_decoder.h"

namespace tolvex::sim {
namespace {

using std::chrono::milliseconds;

struct Chunk {
  bool from_reader;
  Bytes bytes;
};

struct Row {
  const char* name;
  const char* traffic;
  const char* lines;
  const char* times = "";  // ms of each line as recorded (chunk i at i ms); empty: not checked
};

const Row kRows[] = {
    {"RegisterWriteAndRead", "h: 85 80 25 00 | r: 90 | h: C0 | r: 21",
     "host: write register 5 = 80 25 00\nreader: answer 90\nhost: read register 0\n"
     "reader: answer 21"},
    {"ResetWithAtrAndEndOfBlockOverThreeReads", "h: 83 1D | r: 90 3B 02 | r: 14 50 10 | r: 83",
     "host: write register 3 = 1D\nreader: answer 90\ncard: 3B 02 14 50\n"
     "reader: event end of block",
     "0 1 1 2"},
    {"CardBytesWithTheEscapeUndone", "h: 43 00 C0 10 | r: 90 | r: 10 10 61 10 | r: 10 10 83",
     "host: data 00 C0 10\nreader: answer 90\ncard: 10 61 10 (each 10 sent as 10 10)\n"
     "reader: event end of block"},
    {"RegisterValue10SplitOverTwoReads", "h: C2 | r: 10 | r: 10",
     "host: read register 2\nreader: answer 10 (10 sent as 10 10)", "0 1"},
    {"CardInsertedAndRemovedBetweenCommands", "r: 10 85 10 | r: 86",
     "reader: event card inserted\nreader: event card removed"},
    {"NoiseBeforeAnyCommand", "r: 00 FF 10 10",
     "reader: noise 00 FF 10 (before any command; 10 sent as 10 10)"},
    {"ReaderErrorInPlaceOfTheAnswer", "h: 41 AA | r: 10 84",
     "host: data AA\nreader: event reader error (in place of the answer)"},
    {"BadFrameAnswered84", "h: 8F 01 02 | r: 84", "host: bad frame 8F 01 02\nreader: answer 84"},
    {"EndOfBlockBeforeTheAnswerIsOfTheExchangeBefore", "h: 40 | r: 10 83 90",
     "host: data (none)\nreader: event end of block (before the answer: of the exchange before)\n"
     "reader: answer 90"},
    {"UnknownEscapeAndEscapeWithoutCodeAsBytes", "h: C0 | r: 21 10 99 | r: 10",
     "host: read register 0\nreader: answer 21\nreader: noise 10 99 (escape with an unknown code)\n"
     "reader: noise 10 (escape with no code after it)"},
    {"FrameSplitOverWritesAndOneCutShort", "h: 85 80 | h: 25 00 C1 | h: 83",
     "host: write register 5 = 80 25 00\nhost: read register 1\nhost: bad frame 83 (cut short)",
     "0 1 2"},
    {"DamagedCharacterBetweenCardBytes", "h: 43 00 B0 00 | r: 90 6B 10 88 00 10 83",
     "host: data 00 B0 00\nreader: answer 90\ncard: 6B\nreader: event damaged character\n"
     "card: 00\nreader: event end of block"},
    {"LongRunInEntriesOf32Bytes",
     "h: 40 | r: 90 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53 54 55 56 57 58 59 "
     "5A 5B 5C 5D 5E 5F 60",
     "host: data (none)\nreader: answer 90\ncard: 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F "
     "50 51 52 53 54 55 56 57 58 59 5A 5B 5C 5D 5E 5F\ncard: 60"},
};

std::vector<Chunk> Parse(const std::string& traffic) {
  std::vector<Chunk> chunks;
  std::istringstream pieces(traffic);
  std::string piece;
  while (std::getline(pieces, piece, '|')) {
    const auto colon = piece.find(':');
    Chunk chunk{piece.substr(0, colon).find('r') != std::string::npos, {}};
    EXPECT_TRUE(ParseHex(piece.substr(colon + 1), &chunk.bytes)) << piece;
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

struct Decoded {
  std::string lines, times;
  Bytes host_wire, reader_wire;
};

Decoded Decode(const std::vector<Chunk>& chunks) {
  LineDecoder decoder;
  std::vector<DecodedEntry> entries;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const milliseconds at(i);
    if (chunks[i].from_reader) {
      decoder.ReaderSent(chunks[i].bytes, at, entries);
    } else {
      decoder.HostWrote(chunks[i].bytes, at, entries);
    }
  }
  decoder.Finish(entries);
  Decoded decoded;
  for (const DecodedEntry& e : entries) {
    decoded.lines += (decoded.lines.empty() ? "" : "\n") + e.entry.ToString();
    decoded.times += (decoded.times.empty() ? "" : " ") +
                     std::to_string(std::chrono::duration_cast<milliseconds>(e.entry.at).count());
    Bytes& wire = e.entry.origin() == Origin::kHost ? decoded.host_wire : decoded.reader_wire;
    wire.insert(wire.end(), e.wire.begin(), e.wire.end());
  }
  return decoded;
}

// The reader's chunks cut into single bytes, or run together.
std::vector<Chunk> Recut(const std::vector<Chunk>& chunks, bool single_bytes) {
  std::vector<Chunk> recut;
  for (const Chunk& chunk : chunks) {
    if (!chunk.from_reader) {
      recut.push_back(chunk);
    } else if (single_bytes) {
      for (std::uint8_t b : chunk.bytes) recut.push_back(Chunk{true, {b}});
    } else if (!recut.empty() && recut.back().from_reader) {
      recut.back().bytes.insert(recut.back().bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
    } else {
      recut.push_back(chunk);
    }
  }
  return recut;
}

class LineDecoderTest : public ::testing::TestWithParam<Row> {};

TEST_P(LineDecoderTest, ReadsTheSameWhateverTheChunks) {
  const Row& row = GetParam();
  const std::vector<Chunk> recorded = Parse(row.traffic);
  Bytes host, reader;
  for (const Chunk& c : recorded) {
    (c.from_reader ? reader : host)
        .insert((c.from_reader ? reader : host).end(), c.bytes.begin(), c.bytes.end());
  }
  const Decoded as_recorded = Decode(recorded);
  if (*row.times != '\0') {
    EXPECT_EQ(as_recorded.times, row.times);
  }
  for (const auto& chunks : {recorded, Recut(recorded, true), Recut(recorded, false)}) {
    const Decoded decoded = Decode(chunks);
    EXPECT_EQ(decoded.lines, row.lines);
    EXPECT_EQ(decoded.host_wire, host);
    EXPECT_EQ(decoded.reader_wire, reader);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, LineDecoderTest, ::testing::ValuesIn(kRows),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tolvex::sim
