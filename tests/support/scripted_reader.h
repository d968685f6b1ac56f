// A scripted reader: answers the host's frames by rules, one-shot (Expect, used once, in
// order) or standing (Always); any other frame gets the default answer (silence unless set).
// Answers go out through the send function, on the thread that delivered the frame. Every
// frame the host wrote is kept.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

namespace tolvex::sim {

using Bytes = std::vector<std::uint8_t>;

class ScriptedReader {
 public:
  using SendFunction = std::function<void(std::span<const std::uint8_t>)>;
  explicit ScriptedReader(SendFunction send);

  void Expect(Bytes frame, Bytes reply);
  void Always(Bytes frame, Bytes reply);
  void Default(Bytes reply);
  void Clear();

  // Feed: one frame written by the host.
  void HostWrote(std::span<const std::uint8_t> frame);

  std::vector<Bytes> frames() const;

 private:
  struct Rule {
    Bytes frame;
    Bytes reply;
    bool once;
    bool used;
  };
  SendFunction send_;
  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  Bytes default_reply_;
  std::vector<Bytes> frames_;
};

}  // namespace tolvex::sim
