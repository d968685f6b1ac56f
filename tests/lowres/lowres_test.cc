// Low resources, site by site: a whole session with the simulated reader is run once to learn
// every site of a kernel service that can fail for want of memory (platform.h: FaultSites),
// phase by phase; then, for each phase and each site reached in it, the session runs again with
// that site failing the first time the phase reaches it. The operation that meets the failure
// must report it (never success with wrong data), the same operation must work when tried
// again, the rest of the session must go as usual, and at the end nothing of the pool and no
// thread may be left.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/hex.h"
#include "host/host.h"
#include "host/reader.h"
#include "host/status.h"
#include "platform/platform.h"
#include "platform/winsmcrd.h"
#include "sim/application.h"
#include "sim/card.h"
#include "sim/reader_sim.h"
#include "support/sim_apdus.h"

namespace {

using tolvex::host::CardWait;
using tolvex::host::Hex;
using tolvex::host::Power;
using tolvex::host::Status;
using tolvex::host::StatusName;
using tolvex::platform::FaultSites;
using tolvex::sim::Application;
using tolvex::testutil::Cat, tolvex::testutil::File, tolvex::testutil::Ok;
using Bytes = std::vector<std::uint8_t>;
using Site = FaultSites::Site;
using namespace std::chrono_literals;

enum class Phase { kStartup, kOpenClose, kTracking, kPower, kProtocol, kT0, kT1, kTeardown };
constexpr Phase kPhases[] = {Phase::kStartup, Phase::kOpenClose, Phase::kTracking,
                             Phase::kPower,   Phase::kProtocol,  Phase::kT0,
                             Phase::kT1,      Phase::kTeardown};

// By Phase's order.
constexpr const char* kPhaseNames[] = {"startup",  "open_close", "tracking", "power",
                                       "protocol", "t0",         "t1",       "teardown"};
const char* PhaseName(Phase phase) {
  return kPhaseNames[static_cast<int>(phase)];
}

size_t ThreadCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

// What one step of the session came to: its status, and what was wrong with its result if it
// succeeded with the wrong one.
struct Outcome {
  Status status = STATUS_SUCCESS;
  std::string wrong;
};

// One session: a host with the simulated reader on port 0, and the steps an application takes.
class Session {
 public:
  struct Step {
    Phase phase;
    const char* name;
    std::function<Outcome()> run;
    // Before the step is tried again after a failure: what a caller does first.
    std::function<void()> recover;
    // The status a caller is told when memory ran out: STATUS_INSUFFICIENT_RESOURCES, or for
    // the start, where DriverEntry does not pass on why its one reader did not start,
    // STATUS_UNSUCCESSFUL.
    bool unsuccessful_too = false;
  };

  Session() : sim_(&host_.AddSimulatedPort(0)) {}
  ~Session() {
    faults().Disarm();
    reader_.reset();
  }

  tolvex::host::Host& host() { return host_; }
  // After a session broken off: closes the reader and stops; what was left.
  std::string Finish() {
    reader_.reset();
    return host_.Stop();
  }
  FaultSites& faults() { return host_.platform().faults(); }

  std::vector<Step> Steps() {
    std::vector<Step> steps;
    steps.push_back({Phase::kStartup, "start", [this] { return Outcome{host_.Start()}; },
                     [this] { Note("stop after a failed start", host_.Stop()); }, true});
    steps.push_back({Phase::kOpenClose, "open", [this] { return Open(); }, nullptr});
    steps.push_back({Phase::kTracking, "insert", [this] { return Insert(); }, nullptr});
    steps.push_back(
        {Phase::kTracking, "wait cancelled", [this] { return WaitCancelled(); }, nullptr});
    AddProtocol(steps, SCARD_PROTOCOL_T0, Phase::kT0,
                {{Cat({0x00, 0xA4, 0x04, 0x00, 0x07}, Application::Aid()), Ok()},
                 {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01}, Ok()},
                 {{0x00, 0xB0, 0x00, 0x00, 0x00}, Ok(File(0, 256))},
                 {{0x80, 0xEE, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03}, {0x61, 0x03}}});
    AddProtocol(steps, SCARD_PROTOCOL_T1, Phase::kT1,
                {{Cat({0x00, 0xA4, 0x04, 0x00, 0x07}, Application::Aid()), Ok()},
                 {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01}, Ok()},
                 {{0x00, 0xB0, 0x00, 0x10, 0xC8}, Ok(File(16, 200))},
                 {{0x80, 0xEE, 0x00, 0x00, 0x03, 0x0A, 0x0B, 0x0C, 0x03}, Ok({0x0A, 0x0B, 0x0C})}});
    steps.push_back({Phase::kTracking, "remove", [this] { return Remove(); }, nullptr});
    steps.push_back({Phase::kTracking, "insert again", [this] { return Insert(); }, nullptr});
    steps.push_back({Phase::kOpenClose, "close and open again",
                     [this] {
                       reader_.reset();
                       return Open();
                     },
                     nullptr});
    steps.push_back({Phase::kOpenClose, "close",
                     [this] {
                       reader_.reset();
                       return Outcome{};
                     },
                     nullptr});
    steps.push_back(
        {Phase::kTeardown, "stop",
         [this] {
           const std::string left = host_.Stop();
           return left.empty() ? Outcome{} : Outcome{STATUS_UNSUCCESSFUL, "left " + left};
         },
         nullptr});
    return steps;
  }

  // Problems the steps noted on their way (a recovery that left memory, ...).
  std::vector<std::string>& notes() { return notes_; }

 private:
  struct Command {
    Bytes apdu;
    Bytes response;
  };

  void Note(const std::string& what, const std::string& left) {
    if (!left.empty()) notes_.push_back(what + " left " + left);
  }

  Outcome NeedReader() { return Outcome{STATUS_INVALID_DEVICE_STATE, "no reader open"}; }

  Outcome Open() {
    auto [status, reader] = tolvex::host::Reader::Open(host_, 0);
    if (status == STATUS_SUCCESS && reader == nullptr) return Outcome{status, "success, no handle"};
    reader_ = std::move(reader);
    return Outcome{status};
  }

  Outcome Insert() {
    if (!reader_) return NeedReader();
    if (!sim_->card_present()) sim_->InsertCard("dual");
    return Outcome{reader_->WaitForCard(CardWait::kPresent, 3s)};
  }

  Outcome Remove() {
    if (!reader_) return NeedReader();
    if (sim_->card_present()) sim_->RemoveCard();
    return Outcome{reader_->WaitForCard(CardWait::kAbsent, 3s)};
  }

  // A wait for the card to go, with the card in: it stays pending until cancelled.
  Outcome WaitCancelled() {
    if (!reader_) return NeedReader();
    std::unique_ptr<tolvex::host::Request> wait = reader_->StartWaitForCard(CardWait::kAbsent);
    if (!wait) return Outcome{STATUS_INSUFFICIENT_RESOURCES};
    // Given a moment to be taken up by the driver (or refused at once).
    Status status = wait->Wait(20ms);
    if (status != STATUS_TIMEOUT) {
      return Outcome{status == STATUS_SUCCESS ? STATUS_UNSUCCESSFUL : status,
                     status == STATUS_SUCCESS ? "ended with the card in" : ""};
    }
    wait->Cancel();
    status = wait->Wait(3s);
    return Outcome{status == STATUS_CANCELLED ? STATUS_SUCCESS : status};
  }

  Outcome PowerUp() {
    if (!reader_) return NeedReader();
    const auto [status, atr] = reader_->PowerCard(Power::kColdReset);
    const Bytes expected = tolvex::sim::MakeCard("dual")->Reset();
    if (status == STATUS_SUCCESS && atr != expected) return Outcome{status, "ATR " + Hex(atr)};
    return Outcome{status};
  }

  Outcome Select(std::uint32_t protocol) {
    if (!reader_) return NeedReader();
    const auto [status, selected] = reader_->SetProtocol(protocol);
    if (status == STATUS_SUCCESS && selected != protocol) {
      return Outcome{status, "selected " + std::to_string(selected)};
    }
    return Outcome{status};
  }

  Outcome Send(std::uint32_t protocol, const Command& command) {
    if (!reader_) return NeedReader();
    const auto [status, response] = reader_->Transmit(protocol, command.apdu);
    if (status == STATUS_SUCCESS && response != command.response) {
      return Outcome{status, "response " + Hex(response)};
    }
    return Outcome{status};
  }

  // A cold reset, protocol selection (with PTS: the dual card's TA1 asks for a faster clock
  // rate) and commands under that protocol.
  void AddProtocol(std::vector<Step>& steps, std::uint32_t protocol, Phase phase,
                   std::vector<Command> commands) {
    steps.push_back({Phase::kPower, "power up", [this] { return PowerUp(); }, nullptr});
    // After a failed selection the card wants a reset, as after any failed PTS.
    steps.push_back({Phase::kProtocol, "select protocol",
                     [this, protocol] { return Select(protocol); }, [this] { (void)PowerUp(); }});
    for (Command& command : commands) {
      steps.push_back(
          {phase, "transmit",
           [this, protocol, command = std::move(command)] { return Send(protocol, command); },
           nullptr});
    }
  }

  tolvex::host::Host host_{tolvex::host::Host::Options{.skip_delays = true}};
  tolvex::sim::ReaderSim* sim_;
  std::unique_ptr<tolvex::host::Reader> reader_;
  std::vector<std::string> notes_;
};

// The sites each phase reached in a session without faults, with how often.
using PhaseSites = std::map<Phase, std::map<Site, size_t>>;

const PhaseSites& Recorded() {
  // The driver's read time-outs are real: on a machine loaded far beyond its processors a
  // reader's answer can come too late. A session that fails so is run again, up to twice.
  static const PhaseSites* recorded = [] {
    auto* sites = new PhaseSites();
    std::string problem;
    for (int attempt = 0; attempt < 3; ++attempt) {
      sites->clear();
      problem.clear();
      Session session;
      for (const Session::Step& step : session.Steps()) {
        session.faults().ClearSeen();
        const Outcome outcome = step.run();
        for (const auto& [site, count] : session.faults().Seen()) {
          (*sites)[step.phase][site] += count;
        }
        if (outcome.status != STATUS_SUCCESS || !outcome.wrong.empty()) {
          problem = std::string("without faults, step ") + step.name + ": " +
                    StatusName(outcome.status) + " " + outcome.wrong;
          break;
        }
      }
      if (problem.empty()) break;
      (void)session.Finish();
    }
    if (!problem.empty()) ADD_FAILURE() << problem;
    return sites;
  }();
  return *recorded;
}

// What a session with one failing site came to.
struct RunResult {
  bool fired = false;
  std::string failed_step;  // the step that reported the failure (empty: none did)
  Status status = STATUS_SUCCESS;
  std::vector<std::string> problems;
};

// A session in which `site` fails once: at its arrival number `skip` (from 0) in `phase`.
RunResult RunWithFailure(Phase phase, const Site& site, size_t skip, size_t threads_before) {
  RunResult run;
  {
    Session session;
    FaultSites& faults = session.faults();
    faults.FailAt(site, skip);
    for (const Session::Step& step : session.Steps()) {
      faults.Hold(step.phase != phase);
      Outcome outcome = step.run();
      faults.Hold(true);
      const bool fired_here = !run.fired && faults.failed();
      run.fired = run.fired || fired_here;
      if (!outcome.wrong.empty()) {
        run.problems.push_back(std::string(step.name) + " succeeded wrongly: " + outcome.wrong);
        break;
      }
      if (outcome.status == STATUS_SUCCESS) continue;
      if (!fired_here) {
        run.problems.push_back(
            std::string(step.name) + " failed with " + StatusName(outcome.status) +
            (run.fired ? " after the failure had been dealt with" : " though nothing failed"));
        break;
      }
      run.failed_step = step.name;
      run.status = outcome.status;
      if (outcome.status != STATUS_INSUFFICIENT_RESOURCES &&
          !(step.unsuccessful_too && outcome.status == STATUS_UNSUCCESSFUL)) {
        run.problems.push_back(std::string(step.name) + " reported " + StatusName(outcome.status) +
                               " for memory that ran out");
      }
      // The same operation, tried again, must work.
      if (step.recover) step.recover();
      outcome = step.run();
      if (outcome.status != STATUS_SUCCESS || !outcome.wrong.empty()) {
        run.problems.push_back(std::string(step.name) +
                               " tried again: " + StatusName(outcome.status) + " " + outcome.wrong);
        break;
      }
    }
    for (const std::string& note : session.notes()) run.problems.push_back(note);
    if (!run.problems.empty()) {
      const std::string left = session.Finish();
      if (!left.empty()) run.problems.push_back("stop left " + left);
    }
  }
  const size_t threads_after = ThreadCount();
  if (threads_after != threads_before) {
    run.problems.push_back(std::to_string(threads_after - threads_before) + " threads left");
  }
  return run;
}

// The arrivals at a site, out of `count`, that are made to fail in turn: the first, and others
// spread evenly over the rest, the last among them.
constexpr size_t kArrivalsPerSite = 16;
std::vector<size_t> ArrivalsToFail(size_t count) {
  std::vector<size_t> arrivals;
  const size_t n = std::min(count, kArrivalsPerSite);
  for (size_t i = 0; i < n; ++i) {
    const size_t arrival = n == 1 ? 0 : i * (count - 1) / (n - 1);
    if (arrivals.empty() || arrivals.back() != arrival) arrivals.push_back(arrival);
  }
  return arrivals;
}

// --- The calls in the sources, and which of them the session reaches. ---

// A call of a kernel service in the sources: its file, the service, and the lines it spans.
struct SourceCall {
  std::string file;  // "src/driver/link/receive.cc"
  std::string service;
  int first_line;
  int last_line;
};

// The code that calls the services: the driver, the smart card library, the serial port driver
// and the host. (The platform's own calls count for their callers.)
constexpr const char* kCallingFolders[] = {"src/driver", "src/smclib", "src/serial", "src/host"};

std::vector<SourceCall> CallsInSources() {
  static const std::regex call(
      R"(\b(ExAllocatePoolWithTag|IoAllocateIrp|IoBuildDeviceIoControlRequest|IoCreateDevice|)"
      R"(IoGetDeviceObjectPointer|IoCreateSymbolicLink|RtlQueryRegistryValues|ExQueueWorkItem|)"
      R"(StartSystemThread|LoadDriver)\s*\()");
  const std::filesystem::path top(TOLVEX_SOURCE_DIR);
  std::vector<SourceCall> calls;
  for (const char* folder : kCallingFolders) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(top / folder)) {
      if (entry.path().extension() != ".cc") continue;  // headers declare, .cc files call
      std::ifstream in(entry.path());
      std::string text, line;
      while (std::getline(in, line)) {
        // Comments out, lines kept.
        const size_t comment = line.find("//");
        text += (comment == std::string::npos ? line : line.substr(0, comment)) + "\n";
      }
      const std::string file = std::filesystem::relative(entry.path(), top).generic_string();
      for (auto it = std::sregex_iterator(text.begin(), text.end(), call);
           it != std::sregex_iterator(); ++it) {
        const size_t start = static_cast<size_t>(it->position(0));
        size_t end = start + static_cast<size_t>(it->length(0));  // just past '('
        for (int depth = 1; end < text.size() && depth > 0; ++end) {
          if (text[end] == '(') ++depth;
          if (text[end] == ')') --depth;
        }
        const auto line_of = [&](size_t at) {
          return 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
        };
        calls.push_back({file, (*it)[1].str(), line_of(start), line_of(end)});
      }
    }
  }
  return calls;
}

// Calls the session cannot reach, by file and service, with the reason. Empty: the session
// reaches every call. A call that drops out of the session, or a new one it does not reach,
// shows here; so does a call listed that the session reaches after all.
struct Unreached {
  const char* file;
  const char* service;
  const char* reason;
};
const std::vector<Unreached> kUnreached = {};

TEST(LowResourceSites, EveryCallInTheSourcesIsReachedOrListed) {
  std::set<std::pair<std::string, std::string>> expected;
  for (const Unreached& row : kUnreached) expected.emplace(row.file, row.service);
  std::set<std::pair<std::string, std::string>> unreached;
  std::map<std::string, size_t> by_module;
  const std::vector<SourceCall> calls = CallsInSources();
  ASSERT_FALSE(calls.empty()) << "no calls found under " << TOLVEX_SOURCE_DIR;
  for (const SourceCall& call : calls) {
    bool reached = false;
    for (const auto& [phase, sites] : Recorded()) {
      for (const auto& [site, count] : sites) {
        reached = reached || (site.file == call.file && site.service == call.service &&
                              site.line >= call.first_line && site.line <= call.last_line);
      }
    }
    if (!reached) {
      unreached.emplace(call.file, call.service);
      std::printf("not reached: %s:%d %s\n", call.file.c_str(), call.first_line,
                  call.service.c_str());
    }
    ++by_module[call.file.substr(0, call.file.find('/', 4))];
  }
  // The sites the session reached (a call, and what it allocates there), by module and kind.
  std::set<Site> sites;
  for (const auto& [phase, seen] : Recorded()) {
    for (const auto& [site, count] : seen) sites.insert(site);
  }
  std::map<std::string, size_t> sites_by_module, sites_by_kind;
  for (const Site& site : sites) {
    ++sites_by_module[site.file.substr(0, site.file.find('/', 4))];
    ++sites_by_kind[site.service + " [" + site.what + "]" +
                    (site.can_fail ? "" : " (never fails)")];
  }
  for (const auto& [module, count] : by_module) {
    std::printf("%s: %zu calls, %zu sites\n", module.c_str(), count, sites_by_module[module]);
  }
  for (const auto& [kind, count] : sites_by_kind)
    std::printf("%s: %zu sites\n", kind.c_str(), count);
  EXPECT_EQ(unreached, expected);
}

class LowResources : public ::testing::TestWithParam<Phase> {};

// Every site the phase reached fails in turn, once per session: at its first arrival in the
// phase, then at later ones.
TEST_P(LowResources, EverySiteFailsOnce) {
  const Phase phase = GetParam();
  const auto recorded = Recorded().find(phase);
  ASSERT_NE(recorded, Recorded().end()) << "the phase reached no site";
  // Counted once a session has run and a thread has come and gone: a sanitizer's runtime
  // starts a thread of its own with the process's first.
  std::thread([] {}).join();
  const size_t threads = ThreadCount();
  size_t failable = 0, sessions = 0, reported = 0, absorbed = 0, missed = 0, repeated = 0;
  std::string summary;
  for (const auto& [site, count] : recorded->second) {
    if (!site.can_fail) continue;
    ++failable;
    std::map<std::string, size_t> results;  // what the failure came to, how often
    for (const size_t arrival : ArrivalsToFail(count)) {
      ++sessions;
      RunResult run = RunWithFailure(phase, site, arrival, threads);
      if (!run.problems.empty()) {
        // Once more, as the driver's real read time-outs can run out on a machine loaded far
        // beyond its processors: a fault of the driver shows again, a late answer hardly.
        ++repeated;
        RunResult again = RunWithFailure(phase, site, arrival, threads);
        if (again.problems.empty()) {
          std::printf("  %s, arrival %zu: went well when repeated, after: %s\n",
                      site.Describe().c_str(), arrival + 1, run.problems.front().c_str());
          run = std::move(again);
        }
      }
      EXPECT_TRUE(run.problems.empty())
          << PhaseName(phase) << ", " << site.Describe() << ", arrival " << arrival + 1 << " of "
          << count << ": " << [&] {
               std::string text;
               for (const std::string& problem : run.problems) text += "\n  " + problem;
               return text;
             }();
      if (!run.fired) {
        ++missed;
        ++results["not reached"];
      } else if (run.failed_step.empty()) {
        ++absorbed;
        ++results["absorbed"];
      } else {
        ++reported;
        ++results[run.failed_step + " " + StatusName(run.status)];
      }
    }
    summary += "  " + site.Describe() + " x" + std::to_string(count) + ":";
    for (const auto& [result, times] : results) {
      summary += " " + result + (times > 1 ? " (" + std::to_string(times) + ")" : "") + ";";
    }
    summary += "\n";
  }
  std::printf(
      "%s: %zu sites that can fail, %zu sessions: %zu failures reported and tried again, %zu "
      "absorbed, %zu not reached; %zu repeated\n%s",
      PhaseName(phase), failable, sessions, reported, absorbed, missed, repeated, summary.c_str());
}

INSTANTIATE_TEST_SUITE_P(Phases, LowResources, ::testing::ValuesIn(kPhases),
                         [](const ::testing::TestParamInfo<Phase>& param) {
                           return std::string(PhaseName(param.param));
                         });

}  // namespace
