// watch: card insertion and removal as they happen, each with its time.
//
// One wait for the card's change is in flight at a time; it ends only on the reader's own
// reports, so a reader whose device went away would leave it unanswered for ever. watch
// therefore waits in steps of kStep (kTick on a terminal, to move the indication) and between
// them asks the host whether the reader's line was lost (Host::Lost: a pseudo-terminal whose
// simulator quit, a USB serial adapter pulled out, a reader on a UART unplugged or switched off,
// which changes its data-set-ready line); then it ends with an error. Nothing goes to the
// reader for that. A reader that falls silent on a line that stays up and keeps its
// data-set-ready is not seen here: the next command to it says so. With --atr each card put in is
// powered up, its ATR shown, and powered down again: watch leaves the card as it found it. With
// --follow a device that went away is said and waited for: the same device is tried again until a
// reader answers there, and watching goes on.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <thread>

#include "commands.h"

namespace tolvex::tools {

namespace {

// How long one step of the wait lasts between two looks at the line.
constexpr std::chrono::milliseconds kStep{1000};
// How often the indication while waiting moves, on a terminal.
constexpr std::chrono::milliseconds kTick{250};
// --follow: the pauses between tries of a device that went away, the first and the longest.
constexpr std::chrono::milliseconds kRetry{250};
constexpr std::chrono::milliseconds kRetryMax{2000};

// Now, in local time: for people "2026-12-08 09:12:03.457", for scripts ISO 8601 with the
// offset, "2026-12-08T09:12:03.457+01:00".
struct Stamp {
  std::string text;
  std::string iso;
};

Stamp Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[16], time[16], zone[8];
  std::strftime(date, sizeof(date), "%Y-%m-%d", &local);
  std::strftime(time, sizeof(time), "%H:%M:%S", &local);
  std::strftime(zone, sizeof(zone), "%z", &local);  // +0100
  const std::string offset(zone);
  return {fmt::format("{} {}.{:03}", date, time, ms),
          fmt::format("{}T{}.{:03}{}:{}", date, time, ms, offset.substr(0, 3), offset.substr(3))};
}

// "waiting for a card |" refreshed in place, on a terminal only.
class Waiting {
 public:
  explicit Waiting(bool shown) : shown_(shown) {}
  bool shown() const { return shown_; }
  void Tick(bool present) {
    if (!shown_) return;
    static constexpr char kTurns[] = {'|', '/', '-', '\\'};
    std::cout << '\r' << (present ? "waiting for the card to be taken out " : "waiting for a card ")
              << kTurns[turn_++ % 4] << "\033[K" << std::flush;
    on_screen_ = true;
  }
  void Clear() {
    if (!on_screen_) return;
    std::cout << "\r\033[K" << std::flush;
    on_screen_ = false;
  }

 private:
  bool shown_;
  bool on_screen_ = false;
  unsigned turn_ = 0;
};

// --atr: the card just put in, powered up, its ATR shown, powered down again. 0, or 1 (said).
int ShowAtr(Session& session, Output& out) {
  const auto start = Clock::now();
  const auto [status, atr] = session.reader().PowerCard(Power::kColdReset);
  if (status != kSuccess) return out.Error(PowerFailure(status), status);
  PrintAtr(atr, out, Milliseconds(Clock::now() - start));
  const Status off = session.reader().PowerCard(Power::kDown).status;
  if (off != kSuccess) return out.Error("the card could not be powered down", off);
  return 0;
}

// The reader's line was lost: said, exit 1.
int Gone(Session& session, Output& out) {
  return out.Error(fmt::format("the reader on {} is gone: {}", session.Where(),
                               LossWords(session.host().Lost(session.index()))),
                   host::status::kNoSuchDevice);
}

// --follow, the reader's line was lost: said ("reader gone"), then the same
// device is tried again, with pauses that grow to kRetryMax, until a reader answers there
// ("reader back", with the card's state) or the time given runs out (false). `present` is
// then the card's state.
bool ComeBack(Session& session, Output& out, Clock::time_point end, bool timed, bool* present) {
  Stamp now = Now();
  const host::LineLoss loss = session.host().Lost(session.index());
  out.Object(Json{{"command", "watch"},
                  {"event", "gone"},
                  {"cause", LossName(loss)},
                  {"time", now.iso},
                  {"status", StatusValue(host::status::kNoSuchDevice)}});
  out.Text(fmt::format("{} reader gone: {}, {}", now.text, session.Where(), LossWords(loss)));
  for (auto pause = kRetry;; pause = std::min(pause * 2, kRetryMax)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (timed && left.count() <= 0) return false;
    std::this_thread::sleep_for(timed ? std::min(pause, left) : pause);
    if (session.Restart() != kSuccess) continue;
    const auto [asked, state] = session.reader().State();
    if (asked != kSuccess) continue;
    *present = state >= CardState::kPresent;
    now = Now();
    out.Object(Json{{"command", "watch"},
                    {"event", "back"},
                    {"time", now.iso},
                    {"card", *present ? "present" : "absent"},
                    {"status", StatusValue(kSuccess)}});
    out.Text(fmt::format("{} reader back; card {}", now.text, *present ? "present" : "absent"));
    return true;
  }
}

}  // namespace

int Watch(Session& session, Output& out, int count, double timeout_s, bool atr, bool follow) {
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(timeout_s));
  const bool timed = timeout_s > 0;
  const auto [asked, state] = session.reader().State();
  if (asked != kSuccess) return out.Error("the reader did not give the card's state", asked);
  bool present = state >= CardState::kPresent;
  Waiting waiting(isatty(STDOUT_FILENO) && !out.json());
  out.Text(fmt::format("{} card {}; watching", Now().text, present ? "present" : "absent"));
  int result = 0;
  for (int seen = 0; count <= 0 || seen < count;) {
    std::unique_ptr<host::Request> wait =
        session.reader().StartWaitForCard(present ? CardWait::kAbsent : CardWait::kPresent);
    if (!wait) return out.Error("watching the reader failed", host::status::kInsufficientResources);
    Status status = kTimeout;
    bool gone = false;
    while (status == kTimeout && !gone) {
      gone = session.host().LineGone(session.index());
      if (gone) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (timed && left.count() <= 0) break;
      auto step = waiting.shown() ? kTick : kStep;
      if (timed) step = std::min(step, left);
      waiting.Tick(present);
      status = wait->Wait(step);
    }
    if (status == kTimeout && !gone) break;  // the time given ran out; the wait is cancelled
    waiting.Clear();
    if (status != kSuccess) gone = gone || session.host().LineGone(session.index());
    if (gone) {
      if (!follow) return Gone(session, out);
      wait.reset();  // the old host's request, before the host goes
      if (!ComeBack(session, out, end, timed, &present)) break;
      continue;
    }
    if (status != kSuccess) return out.Error("watching the reader failed", status);
    present = !present;
    ++seen;
    const Stamp now = Now();
    out.Object(Json{{"command", "watch"},
                    {"event", present ? "inserted" : "removed"},
                    {"time", now.iso},
                    {"status", StatusValue(kSuccess)}});
    out.Text(fmt::format("{} card {}", now.text, present ? "inserted" : "removed"));
    if (present && atr) result = std::max(result, ShowAtr(session, out));
  }
  waiting.Clear();
  return result;
}

}  // namespace tolvex::tools
