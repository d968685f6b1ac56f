// watch: card insertion and removal as they happen.
#include <fmt/format.h>

#include <algorithm>

#include "commands.h"

namespace tolvex::tools {

int Watch(Session& session, Output& out, int count, double timeout_s) {
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(timeout_s));
  const auto [asked, state] = session.reader().State();
  if (asked != kSuccess) return out.Error("the reader did not give the card's state", asked);
  bool present = state >= CardState::kPresent;
  out.Text(fmt::format("card {}; watching", present ? "present" : "absent"));
  for (int seen = 0; count <= 0 || seen < count;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (timeout_s > 0 && left.count() <= 0) break;
    const auto step = timeout_s > 0
                          ? std::min<std::chrono::milliseconds>(left, std::chrono::hours(1))
                          : std::chrono::hours(1);
    const Status status =
        session.reader().WaitForCard(present ? CardWait::kAbsent : CardWait::kPresent, step);
    if (status == kTimeout) continue;  // nothing yet
    if (status != kSuccess) return out.Error("watching the reader failed", status);
    present = !present;
    ++seen;
    out.Object(Json{{"command", "watch"},
                    {"event", present ? "inserted" : "removed"},
                    {"status", StatusValue(kSuccess)}});
    out.Text(present ? "card inserted" : "card removed");
  }
  return 0;
}

}  // namespace tolvex::tools
