// The replay's reader against a scripted host: for each row, the recording, what the host
// writes (in pieces as a port may hand them over), and then what the reader sent, how far the
// recording was played, and where the host first differed.
#include "sim/replay.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/bytes.h"

namespace tolvex::sim {
namespace {

// "h:C0" a frame of the host's, "r:21" of the reader's.
std::vector<RecordedFrame> Recording(const std::vector<std::string>& frames) {
  std::vector<RecordedFrame> recording;
  for (const std::string& frame : frames) {
    Bytes bytes;
    EXPECT_TRUE(ParseHex(frame.substr(2), &bytes)) << frame;
    recording.push_back({frame[0] == 'r', {}, bytes, frame});
  }
  return recording;
}

struct ReplayCase {
  const char* name;
  std::vector<std::string> recording;
  std::vector<std::string> writes;  // the host's writes, in hex
  std::string sent;                 // all the reader sent, in hex
  std::size_t played;
  std::size_t mismatch_frame = 0;  // 0: none
  std::string written = "";        // with a mismatch: what the host wrote where the frame was due
};

class Replayed : public ::testing::TestWithParam<ReplayCase> {};

TEST_P(Replayed, AnswersTheRecordedFramesAndStopsWhereTheHostDiffers) {
  const ReplayCase& c = GetParam();
  Bytes sent;
  ReplayReader replay(
      Recording(c.recording),
      [&sent](std::span<const std::uint8_t> bytes) {
        sent.insert(sent.end(), bytes.begin(), bytes.end());
      },
      /*paced=*/false);
  replay.Start();
  for (const std::string& write : c.writes) {
    Bytes bytes;
    ASSERT_TRUE(ParseHex(write, &bytes)) << write;
    replay.HostWrote(bytes);
  }
  EXPECT_EQ(Hex(sent), c.sent);
  EXPECT_EQ(replay.played(), c.played);
  const auto mismatch = replay.mismatch();
  ASSERT_EQ(mismatch.has_value(), c.mismatch_frame != 0);
  if (mismatch) {
    EXPECT_EQ(mismatch->frame, c.mismatch_frame);
    EXPECT_EQ(Hex(mismatch->written), c.written);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Replayed,
    ::testing::Values(
        ReplayCase{"WholeSession",
                   {"h:C0", "r:21", "h:88 00", "r:90", "r:3B 02", "r:10 83"},
                   {"C0", "88 00"},
                   "21 90 3B 02 10 83",
                   6},
        // The reader spoke first (a card put in before the host wrote): sent at the start.
        ReplayCase{"ReaderFirst", {"r:10 85", "h:C0", "r:21"}, {"C0"}, "10 85 21", 3},
        // A frame in pieces, and two frames in one write.
        ReplayCase{"FramesInPieces",
                   {"h:85 80 25 00", "r:90", "h:C4", "r:01"},
                   {"85 80", "25", "00 C4"},
                   "90 01",
                   4},
        // The host writes otherwise: in a frame's first byte, in its middle; nothing more
        // is sent, and later writes change nothing.
        ReplayCase{"DiffersAtOnce",
                   {"h:C0", "r:21", "h:88 00", "r:90"},
                   {"C0", "84 00", "88 00"},
                   "21",
                   2,
                   3,
                   "84 00"},
        ReplayCase{"DiffersInTheMiddle",
                   {"h:C0", "r:21", "h:85 80 25 00", "r:90"},
                   {"C0", "85 80", "26 00"},
                   "21",
                   2,
                   3,
                   "85 80 26 00"},
        // The host goes on past the recording's end.
        ReplayCase{"PastTheEnd", {"h:C0", "r:21"}, {"C0", "C1"}, "21", 2, 3, "C1"},
        // Less than the recording: the rest is not played.
        ReplayCase{"StopsEarly", {"h:C0", "r:21", "h:C1", "r:00"}, {"C0"}, "21", 2}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace tolvex::sim
