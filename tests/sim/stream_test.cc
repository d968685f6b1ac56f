// The reader's byte streams: escaping towards the host, and cutting the host's frames.
#include <gtest/gtest.h>

#include "sim/stream.h"

namespace tolvex::sim {
namespace {

TEST(Escaping, DoublesOnlyTheEscapeByte) {
  Bytes out;
  AppendEscaped(out, Bytes{0x10, 0x90, 0x01, 0x10});
  AppendEvent(out, kEventBlockEnd);
  EXPECT_EQ(out, (Bytes{0x10, 0x10, 0x90, 0x01, 0x10, 0x10, 0x10, 0x83}));
}

TEST(Escaping, DecoderKeepsAnEscapeSplitAcrossChunks) {
  StreamDecoder decoder;
  std::vector<StreamItem> items;
  decoder.Feed(Bytes{0x90, 0x10}, items);
  EXPECT_TRUE(decoder.escape_pending());
  decoder.Feed(Bytes{0x10, 0x10}, items);
  decoder.Feed(Bytes{0x85}, items);
  EXPECT_EQ(items, (std::vector<StreamItem>{{false, 0x90}, {false, 0x10}, {true, 0x85}}));
}

struct Expected {
  FrameKind kind;
  std::uint8_t reg;
  Bytes payload;
};

struct ParseCase {
  const char* name;
  Bytes stream;
  std::vector<Expected> frames;
};

std::vector<HostFrame> Parse(const Bytes& stream, std::size_t piece) {
  FrameParser parser;
  std::vector<HostFrame> frames;
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    const std::size_t n = std::min(piece, stream.size() - at);
    parser.Feed(std::span(stream).subspan(at, n), frames);
  }
  EXPECT_FALSE(parser.mid_frame());
  return frames;
}

TEST(FrameParser, SameFramesHoweverTheStreamIsCut) {
  const ParseCase cases[] = {
      {"mode register", {0x82, 0x4F}, {{FrameKind::kWriteRegister, 2, {0x4F}}}},
      {"three-byte register",
       {0x85, 0x80, 0x25, 0x00},
       {{FrameKind::kWriteRegister, 5, {0x80, 0x25, 0x00}}}},
      {"block waiting time",
       {0x86, 0x01, 0x02, 0x03},
       {{FrameKind::kWriteRegister, 6, {0x01, 0x02, 0x03}}}},
      {"read register", {0xC4}, {{FrameKind::kReadRegister, 4, {}}}},
      {"empty data frame", {0x40}, {{FrameKind::kWriteData, 0, {}}}},
      {"frames back to back",
       {0xC0, 0x88, 0x00, 0x43, 0x10, 0x83, 0x40, 0x83, 0x1D},
       {{FrameKind::kReadRegister, 0, {}},
        {FrameKind::kWriteRegister, 8, {0x00}},
        {FrameKind::kWriteData, 0, {0x10, 0x83, 0x40}},
        {FrameKind::kWriteRegister, 3, {0x1D}}}},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {c.stream.size(), std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      const auto frames = Parse(c.stream, piece);
      ASSERT_EQ(frames.size(), c.frames.size());
      for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].kind, c.frames[i].kind);
        EXPECT_EQ(frames[i].reg, c.frames[i].reg);
        EXPECT_EQ(frames[i].payload, c.frames[i].payload);
      }
    }
  }
}

TEST(FrameParser, BadFirstByteThrowsAwayTheRestOfItsWrite) {
  for (const Bytes& bad : {Bytes{0x59, 0x82, 0x4F}, Bytes{0x00, 0xC0}, Bytes{0x89, 0x00}}) {
    FrameParser parser;
    std::vector<HostFrame> frames;
    parser.Feed(Bytes{0xC0}, frames);
    parser.Feed(bad, frames);
    parser.Feed(Bytes{0xC4}, frames);
    ASSERT_EQ(frames.size(), 3u) << Hex(bad);
    EXPECT_EQ(frames[1].kind, FrameKind::kBad);
    EXPECT_EQ(frames[1].raw, bad);
    EXPECT_EQ(frames[2].kind, FrameKind::kReadRegister);
    EXPECT_EQ(frames[2].reg, 4);
  }
}

}  // namespace
}  // namespace tolvex::sim
