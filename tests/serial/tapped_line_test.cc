// The tap on a line: what the observer sees of a write and of the bytes received, and in which
// order, with a line that takes only some of a write and answers while a write is handed over
// (as a fast far end does: the answer must not overtake the frame in the trace).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/tapped_line.h"
#include "sim/bytes.h"

namespace tolvex::serial {
namespace {

// A line that takes `take` bytes of each write and, while taking it, receives `answer`.
class AnsweringLine final : public LineBackend {
 public:
  AnsweringLine(size_t take, std::vector<UCHAR> answer) : take_(take), answer_(std::move(answer)) {}
  void Attach(LineSink* sink) override { sink_ = sink; }
  NTSTATUS Open() override { return STATUS_SUCCESS; }
  void Close() override {}
  NTSTATUS Configure(const LineSettings&) override { return STATUS_SUCCESS; }
  size_t Transmit(std::span<const UCHAR> bytes) override {
    if (!answer_.empty()) sink_->Receive(answer_);
    return std::min(take_, bytes.size());
  }
  void Purge(ULONG) override {}
  ULONG ModemStatus() override { return 0; }
  void SetBreak(bool) override {}
  void SetDtr(bool) override {}
  void SetRts(bool) override {}
  LineSink* sink_ = nullptr;

 private:
  size_t take_;
  std::vector<UCHAR> answer_;
};

// The port's side: counts what reaches it.
class Port final : public LineSink {
 public:
  void Receive(std::span<const UCHAR> bytes) override { received += sim::Hex(bytes) + ";"; }
  void ModemLinesChanged(ULONG) override {}
  void Wake() override {}
  std::string received;
};

struct Row {
  const char* name;
  size_t take;                // bytes of the write the line takes
  std::vector<UCHAR> answer;  // received while the write is handed over
  const char* seen;           // what the observer saw, in order ("<" from the line)
};

const Row kRows[] = {
    {"WholeWriteThenNothing", 9, {}, "> 85 80 25 00;"},
    {"AnswerDuringTheWriteComesAfterIt", 9, {0x90}, "> 85 80 25 00;< 90;"},
    {"OnlyTheBytesTakenAreWritten", 2, {0x10, 0x83}, "> 85 80;< 10 83;"},
    {"NothingTakenNothingWritten", 0, {0x90}, "< 90;"},
};

class TappedLineTest : public ::testing::TestWithParam<Row> {};

TEST_P(TappedLineTest, ReportsWhatWentOnTheLineInOrder) {
  const Row& row = GetParam();
  auto line = std::make_shared<AnsweringLine>(row.take, row.answer);
  std::string seen;
  std::chrono::steady_clock::time_point last{};
  TappedLine tap(line, [&](const LineTraffic& traffic) {
    EXPECT_GE(traffic.at, last);
    last = traffic.at;
    seen += std::string(traffic.from_device ? "< " : "> ") + sim::Hex(traffic.bytes) + ";";
  });
  Port port;
  tap.Attach(&port);
  const std::vector<UCHAR> frame{0x85, 0x80, 0x25, 0x00};
  EXPECT_EQ(tap.Transmit(frame), std::min(row.take, frame.size()));
  EXPECT_EQ(seen, row.seen);
  // The port gets every byte received, at once, whatever the trace does with them.
  EXPECT_EQ(port.received, row.answer.empty() ? "" : sim::Hex(row.answer) + ";");
  tap.Attach(nullptr);
  EXPECT_EQ(line->sink_, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Rows, TappedLineTest, ::testing::ValuesIn(kRows),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tolvex::serial
