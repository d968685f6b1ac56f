// The host's end of the simulator's serial line, for the simulator's own tests: feeds
// HostWrote, collects what the reader sends and undoes the escaping. No driver involved.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "sim/reader_sim.h"
#include "sim/t1_block.h"

namespace tolvex::sim::testing {

// What came back for data sent to the card.
struct Reply {
  Bytes card;                        // the card's bytes, un-escaped
  int block_ends = 0;                // 10 83 reports
  std::vector<std::uint8_t> events;  // other events, in order
};

class SimHost {
 public:
  explicit SimHost(ReaderOptions options = {})
      : sim_(Line{[this](std::span<const std::uint8_t> bytes) {
                    {
                      std::lock_guard lock(mutex_);
                      chunks_.emplace_back(bytes.begin(), bytes.end());
                      sent_ += bytes.size();
                    }
                    sent_cv_.notify_all();
                  },
                  [this](bool on) {
                    std::lock_guard lock(mutex_);
                    dsr_.push_back(on);
                  }},
             std::move(options)) {}

  ReaderSim& sim() { return sim_; }
  void Write(const Bytes& bytes) { sim_.HostWrote(bytes); }

  // Raw bytes sent since the last take.
  Bytes TakeWire() {
    Bytes wire;
    for (const Bytes& chunk : TakeChunks()) wire.insert(wire.end(), chunk.begin(), chunk.end());
    return wire;
  }
  // The same, one element per call of the line's send.
  std::vector<Bytes> TakeChunks() {
    std::lock_guard lock(mutex_);
    return std::exchange(chunks_, {});
  }
  // Waits until the line has carried `n` bytes in all (for what WaitIdle cannot wait for: a
  // report held back far longer than the test).
  bool WaitForBytes(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return sent_cv_.wait_for(lock, timeout, [&] { return sent_ >= n; });
  }
  std::vector<StreamItem> Take() {
    std::vector<StreamItem> items;
    decoder_.Feed(TakeWire(), items);
    return items;
  }
  std::vector<bool> dsr() {
    std::lock_guard lock(mutex_);
    return dsr_;
  }

  // A frame answered with one plain byte and nothing else: that byte (-1 if not so).
  int Command(const Bytes& frame) {
    Write(frame);
    const auto items = Take();
    if (items.size() != 1 || items[0].event) return -1;
    return items[0].value;
  }

  // Data for the card in frames of up to 24 bytes; each frame must be answered 90 first.
  Reply ToCard(const Bytes& data) {
    Reply reply;
    std::size_t at = 0;
    do {
      const std::size_t n = std::min<std::size_t>(data.size() - at, kMaxDataFrame);
      Bytes frame{static_cast<std::uint8_t>(0x40 | n)};
      frame.insert(frame.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(at + n));
      Write(frame);
      Collect(reply);
      at += n;
    } while (at < data.size());
    return reply;
  }

  // Register 3 = 1D: answered 90, then what the card says.
  Reply Reset() {
    Write({0x83, 0x1D});
    Reply reply;
    Collect(reply);
    return reply;
  }

  // --- T=1 ---
  t1::Edc edc = t1::Edc::kLrc;

  // The blocks the card answers a block with (each must be followed by an end of block).
  std::vector<t1::Block> Blocks(const t1::Block& block) {
    const Reply reply = ToCard(t1::Encode(block, edc));
    std::vector<t1::Block> blocks;
    std::size_t at = 0;
    const std::size_t edc_size = t1::EdcSize(edc);
    while (at + 3 <= reply.card.size()) {
      const std::size_t size = 3 + reply.card[at + 2] + edc_size;
      const auto decoded = t1::Decode(std::span(reply.card).subspan(at, size), edc);
      EXPECT_TRUE(decoded.has_value()) << "bad block from the card";
      if (decoded) blocks.push_back(*decoded);
      at += size;
    }
    EXPECT_EQ(at, reply.card.size());
    EXPECT_EQ(reply.block_ends, static_cast<int>(blocks.size()));
    return blocks;
  }
  // Exactly one block back.
  t1::Block Exchange(const t1::Block& block) {
    auto blocks = Blocks(block);
    EXPECT_EQ(blocks.size(), 1u);
    return blocks.empty() ? t1::Block{0xFF, 0xFF, {}} : blocks.front();
  }

 private:
  void Collect(Reply& reply) {
    const auto items = Take();
    ASSERT_FALSE(items.empty()) << "no answer";
    EXPECT_EQ(items[0], (StreamItem{false, kAnswerOk}));
    for (std::size_t i = 1; i < items.size(); ++i) {
      if (!items[i].event) {
        reply.card.push_back(items[i].value);
      } else if (items[i].value == kEventBlockEnd) {
        ++reply.block_ends;
      } else {
        reply.events.push_back(items[i].value);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable sent_cv_;
  std::vector<Bytes> chunks_;
  std::size_t sent_ = 0;
  std::vector<bool> dsr_;
  StreamDecoder decoder_;
  ReaderSim sim_;  // last: goes first
};

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace tolvex::sim::testing
