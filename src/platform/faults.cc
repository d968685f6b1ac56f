// Fault sites: the sites of the kernel services reached, and a chosen one made to fail once.
#include <functional>
#include <string>

#include "platform/platform.h"

namespace tolvex::platform {

namespace {

thread_local const SiteFrame* t_frame = nullptr;

// The path from the source tree's top ("src/...", "tests/..."), whatever the compiler was
// given.
std::string TreePath(const char* file) {
  if (file == nullptr) return "?";
  const std::string_view path(file);
  for (const std::string_view slashed : {"/src/", "/tests/", "/tools/", "/pcsc/", "/fuzz/"}) {
    const std::string_view top = slashed.substr(1);
    const size_t at = path.rfind(slashed);
    if (at != std::string_view::npos) return std::string(path.substr(at + 1));
    if (path.substr(0, top.size()) == top) return std::string(path);
  }
  return std::string(path);
}

}  // namespace

std::string FaultSites::Site::Describe() const {
  return file + ":" + std::to_string(line) + " " + service + " [" + what + "]";
}

size_t FaultSites::ArrivalHash::operator()(const Arrival& a) const {
  size_t h = std::hash<const void*>()(a.file);
  h = h * 31 + std::hash<int>()(a.line);
  h = h * 31 + std::hash<const void*>()(a.service);
  h = h * 31 + std::hash<std::string>()(a.what);
  return h * 2 + (a.can_fail ? 1 : 0);
}

FaultSites::Site FaultSites::SiteOf(const Arrival& arrival) {
  Site site;
  site.file = arrival.file != nullptr ? TreePath(arrival.file) : "?";
  site.line = arrival.line;
  site.service = arrival.service != nullptr ? arrival.service : "?";
  site.what = arrival.what;
  site.can_fail = arrival.can_fail;
  return site;
}

// Every allocation passes here, so an arrival is counted by its raw pointers; the site's
// readable form is made only for the armed comparison and for Seen().
bool FaultSites::Reach(std::string_view what, bool can_fail) {
  const SiteFrame* frame = t_frame;
  if (frame != nullptr && frame->must_succeed) return false;
  Arrival arrival{frame != nullptr ? frame->file : nullptr, frame != nullptr ? frame->line : 0,
                  frame != nullptr ? frame->service : nullptr, std::string(what), can_fail};
  std::lock_guard lock(mutex_);
  ++arrivals_[arrival];
  if (!can_fail || failed_ || held_ || !target_ || SiteOf(arrival) != *target_) return false;
  if (skip_ > 0) {
    --skip_;
    return false;
  }
  failed_ = true;
  return true;
}

std::map<FaultSites::Site, size_t> FaultSites::Seen() const {
  std::lock_guard lock(mutex_);
  std::map<Site, size_t> seen;
  for (const auto& [arrival, count] : arrivals_) seen[SiteOf(arrival)] += count;
  return seen;
}

void FaultSites::ClearSeen() {
  std::lock_guard lock(mutex_);
  arrivals_.clear();
}

void FaultSites::FailAt(const Site& site, size_t skip) {
  std::lock_guard lock(mutex_);
  target_ = site;
  skip_ = skip;
  held_ = false;
  failed_ = false;
}

void FaultSites::Disarm() {
  std::lock_guard lock(mutex_);
  target_.reset();
}

void FaultSites::Hold(bool held) {
  std::lock_guard lock(mutex_);
  held_ = held;
}

bool FaultSites::failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

ServiceSite::ServiceSite(const char* service, const char* file, int line)
    : frame_{service, file, line, false}, previous_(t_frame) {
  if (t_frame == nullptr) t_frame = &frame_;
}

ServiceSite::~ServiceSite() {
  t_frame = previous_;
}

const SiteFrame* ServiceSite::Current() {
  return t_frame;
}

ServiceSiteBarrier::ServiceSiteBarrier(bool must_succeed)
    : frame_{"", "", 0, true}, previous_(t_frame) {
  t_frame = must_succeed ? &frame_ : nullptr;
}

ServiceSiteBarrier::~ServiceSiteBarrier() {
  t_frame = previous_;
}

}  // namespace tolvex::platform
