// The reader's command protocol: registers, framing, answers, events, reset and ATR.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/t0_card.h"
#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

TEST(Reader, RegistersReadBackTheirLowByte) {
  struct Case {
    std::uint8_t reg;
    Bytes value;
  };
  const Case cases[] = {
      {1, {0x05}}, {2, {0x4F}}, {3, {0x00}}, {5, {0x80, 0x25, 0x00}}, {6, {0x11, 0x22, 0x33}},
      {7, {0xAA}}, {8, {0x00}}};
  SimHost host;
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.reg});
    EXPECT_EQ(host.Command(Cat({static_cast<std::uint8_t>(0x80 | c.reg)}, c.value)), 0x90);
    EXPECT_EQ(host.Command({static_cast<std::uint8_t>(0xC0 | c.reg)}), c.value[0]);
  }
  EXPECT_EQ(host.sim().register_value(5), 0x002580u);
}

TEST(Reader, FirmwareRevisionIsReadOnlyAndEscaped) {
  SimHost plain;
  EXPECT_EQ(plain.Command({0xC0}), 0x21);
  EXPECT_EQ(plain.Command({0x80, 0x33}), kAnswerBadFrame);
  EXPECT_EQ(plain.Command({0xC0}), 0x21);

  SimHost escaped(ReaderOptions{.firmware = 0x10});
  escaped.Write({0xC0});
  EXPECT_EQ(escaped.TakeWire(), (Bytes{0x10, 0x10}));
}

TEST(Reader, FramesSplitOrMergedAreAnsweredInOrder) {
  SimHost host;
  for (std::uint8_t b : {0x85, 0x01, 0x02}) {
    host.Write({b});
    EXPECT_TRUE(host.TakeWire().empty());
  }
  host.Write({0x03, 0xC5, 0xC0, 0x82, 0x6F, 0xC2});
  EXPECT_EQ(host.TakeWire(), (Bytes{0x90, 0x01, 0x21, 0x90, 0x6F}));
}

TEST(Reader, BadFramesGetAnErrorAndTheNextWriteStartsAfresh) {
  SimHost host;
  EXPECT_EQ(host.Command({0xC9}), kAnswerBadFrame);  // no register 9
  host.Write({0x59, 0x83, 0x1D});                    // 25 data bytes: too many
  EXPECT_EQ(host.TakeWire(), (Bytes{kAnswerBadFrame}));
  EXPECT_EQ(host.Command({0xC3}), 0x00);  // the 83 1D after it did not count
  const auto bad = host.sim().transcript().Of(EntryKind::kBadFrame);
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].bytes, (Bytes{0x59, 0x83, 0x1D}));
}

TEST(Reader, ReportsCardInsertionAndRemoval) {
  SimHost host;
  EXPECT_EQ(host.Command({0xC4}), 0x00);
  host.sim().InsertCard("t0");
  EXPECT_EQ(host.TakeWire(), (Bytes{0x10, kEventCardInserted}));
  EXPECT_EQ(host.Command({0xC4}), 0x01);
  host.sim().InsertCard("t1");  // swaps: out, then in
  EXPECT_EQ(host.TakeWire(), (Bytes{0x10, kEventCardRemoved, 0x10, kEventCardInserted}));
  host.sim().RemoveCard();
  EXPECT_EQ(host.TakeWire(), (Bytes{0x10, kEventCardRemoved}));
  EXPECT_EQ(host.Command({0xC4}), 0x00);
  host.sim().InsertCard("t0", /*report=*/false);
  EXPECT_TRUE(host.TakeWire().empty());
  EXPECT_FALSE(host.sim().InsertCard("no-such-card"));
}

TEST(Reader, ResetRelaysTheAtrAfterItsAnswerThenEndOfBlock) {
  SimHost host;
  host.Write({0x83, 0x1D});
  EXPECT_EQ(host.TakeWire(), (Bytes{0x90}));  // no card: nothing follows
  host.sim().InsertCard("t0", false);
  host.Write({0x83, 0x1D});
  EXPECT_EQ(host.TakeWire(), (Bytes{0x90, 0x3B, 0x02, 0x14, 0x50, 0x10, 0x83}));
  EXPECT_TRUE(host.sim().card_powered());
  host.Write({0x83, 0x00});  // not the reset command
  EXPECT_EQ(host.TakeWire(), (Bytes{0x90}));
}

TEST(Reader, PowerOffSilencesTheCard) {
  SimHost host;
  host.sim().InsertCard("t0", false);
  host.Reset();
  EXPECT_EQ(host.Command({0x84, 0x00}), 0x90);
  EXPECT_FALSE(host.sim().card_powered());
  EXPECT_EQ(host.Command({0x45, 0x00, 0xA4, 0x00, 0x00, 0x02}), 0x90);  // only the reader's
  EXPECT_EQ(host.Command({0xC4}), 0x01);                                // still in the reader
}

TEST(Reader, TranscriptDecodesFramesAnswersAndCardBytes) {
  SimHost host;
  host.sim().InsertCard("t0", false);
  host.Write({0x85, 0x80, 0x25, 0x00});
  host.Write({0x83, 0x1D});
  const Transcript transcript = host.sim().transcript();
  EXPECT_EQ(transcript.ToString(),
            "host: write register 5 = 80 25 00\n"
            "reader: answer 90\n"
            "host: write register 3 = 1D\n"
            "reader: answer 90\n"
            "card: 3B 02 14 50\n"
            "reader: event end of block\n");
  const auto writes = transcript.Of(EntryKind::kWriteRegister);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].reg, 5);
  EXPECT_EQ(writes[0].bytes, (Bytes{0x80, 0x25, 0x00}));
  EXPECT_EQ(writes[0].origin(), Origin::kHost);
  EXPECT_EQ(transcript.Of(EntryKind::kCardBytes).at(0).origin(), Origin::kCard);
}

TEST(Reader, LineThatWritesBackFromItsSendFunctionDoesNotDeadlock) {
  ReaderSim* sim = nullptr;
  Bytes wire;
  bool echoed = false;
  ReaderSim reader(Line{[&](std::span<const std::uint8_t> bytes) {
                          wire.insert(wire.end(), bytes.begin(), bytes.end());
                          if (!echoed) {
                            echoed = true;
                            const Bytes again{0xC0};
                            sim->HostWrote(again);  // as a loop-back line might
                          }
                        },
                        nullptr});
  sim = &reader;
  reader.HostWrote(Bytes{0x82, 0x4F});
  EXPECT_EQ(wire, (Bytes{0x90, 0x21}));
}

TEST(Reader, CommandsAndCardMovesFromTwoThreadsStayInOrder) {
  SimHost host;
  host.sim().InsertCard("t0", false);
  std::atomic<bool> done = false;
  std::thread mover([&] {
    for (int i = 0; i < 200 && !done; ++i) {
      if (i % 2) {
        host.sim().InsertCard(MakeT0Card());
      } else {
        host.sim().RemoveCard();
      }
    }
  });
  constexpr int kCommands = 300;
  for (int i = 0; i < kCommands; ++i) host.Write({0xC4});
  done = true;
  mover.join();
  int answers = 0;
  for (const StreamItem& item : host.Take()) {
    if (item.event) {
      EXPECT_TRUE(item.value == kEventCardInserted || item.value == kEventCardRemoved);
    } else {
      EXPECT_LE(item.value, 0x01);
      ++answers;
    }
  }
  EXPECT_EQ(answers, kCommands);
}

}  // namespace
}  // namespace tolvex::sim::testing
