// Fault sites: the sites of the kernel services reached, and a chosen one made to fail once.
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
  for (const std::string_view top : {"src/", "tests/", "tools/", "pcsc/", "fuzz/"}) {
    const size_t at = path.rfind(std::string("/") + std::string(top));
    if (at != std::string_view::npos) return std::string(path.substr(at + 1));
    if (path.substr(0, top.size()) == top) return std::string(path);
  }
  return std::string(path);
}

}  // namespace

std::string FaultSites::Site::Describe() const {
  return file + ":" + std::to_string(line) + " " + service + " [" + what + "]";
}

bool FaultSites::Reach(std::string_view what, bool can_fail) {
  const SiteFrame* frame = t_frame;
  if (frame != nullptr && frame->must_succeed) return false;
  Site site;
  if (frame != nullptr) {
    site.file = TreePath(frame->file);
    site.line = frame->line;
    site.service = frame->service;
  } else {
    site.file = "?";
    site.service = "?";
  }
  site.what = std::string(what);
  site.can_fail = can_fail;
  std::lock_guard lock(mutex_);
  ++seen_[site];
  if (!can_fail || failed_ || held_ || !target_ || *target_ != site) return false;
  if (skip_ > 0) {
    --skip_;
    return false;
  }
  failed_ = true;
  return true;
}

std::map<FaultSites::Site, size_t> FaultSites::Seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

void FaultSites::ClearSeen() {
  std::lock_guard lock(mutex_);
  seen_.clear();
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
