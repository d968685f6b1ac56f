#include "support/scripted_reader.h"

#include <algorithm>

namespace tolvex::sim {

ScriptedReader::ScriptedReader(SendFunction send) : send_(std::move(send)) {}

void ScriptedReader::Expect(Bytes frame, Bytes reply) {
  std::lock_guard lock(mutex_);
  rules_.push_back(Rule{std::move(frame), std::move(reply), true, false});
}

void ScriptedReader::Always(Bytes frame, Bytes reply) {
  std::lock_guard lock(mutex_);
  rules_.push_back(Rule{std::move(frame), std::move(reply), false, false});
}

void ScriptedReader::Default(Bytes reply) {
  std::lock_guard lock(mutex_);
  default_reply_ = std::move(reply);
}

void ScriptedReader::Clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
  default_reply_.clear();
  frames_.clear();
}

void ScriptedReader::HostWrote(std::span<const std::uint8_t> frame) {
  Bytes reply;
  {
    std::lock_guard lock(mutex_);
    frames_.emplace_back(frame.begin(), frame.end());
    auto rule = std::find_if(rules_.begin(), rules_.end(), [&](const Rule& r) {
      return !r.used && std::equal(r.frame.begin(), r.frame.end(), frame.begin(), frame.end());
    });
    if (rule != rules_.end()) {
      reply = rule->reply;
      if (rule->once) rule->used = true;
    } else {
      reply = default_reply_;
    }
  }
  if (!reply.empty()) send_(reply);
}

std::vector<Bytes> ScriptedReader::frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

}  // namespace tolvex::sim
