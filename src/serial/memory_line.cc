#include "serial/memory_line.h"

namespace tolvex::serial {

MemoryLine::~MemoryLine() {
  StopDelivery();
}

void MemoryLine::Attach(LineSink* sink) {
  std::lock_guard lock(sink_mutex_);
  sink_ = sink;
}

void MemoryLine::Send(std::span<const UCHAR> bytes) {
  std::lock_guard lock(sink_mutex_);
  if (sink_ != nullptr && !bytes.empty()) sink_->Receive(bytes);
}

void MemoryLine::SetDsr(bool on) {
  {
    std::lock_guard lock(mutex_);
    if (dsr_ == on) return;
    dsr_ = on;
    dsr_changed_ = dsr_changed_ || open_;
  }
  std::lock_guard lock(sink_mutex_);
  if (sink_ != nullptr) sink_->ModemLinesChanged(SERIAL_EV_DSR);
}

std::vector<UCHAR> MemoryLine::TakeWritten() {
  std::lock_guard lock(mutex_);
  std::vector<UCHAR> all;
  for (const auto& chunk : written_) all.insert(all.end(), chunk.begin(), chunk.end());
  written_.clear();
  return all;
}

void MemoryLine::SetListener(Listener listener) {
  StopDelivery();
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
  if (listener_) {
    stop_delivery_ = false;
    delivery_ = std::thread([this] { DeliveryLoop(); });
  }
}

void MemoryLine::StopDelivery() {
  {
    std::lock_guard lock(mutex_);
    if (!delivery_.joinable()) return;
    stop_delivery_ = true;
  }
  cv_.notify_all();
  delivery_.join();
  std::lock_guard lock(mutex_);
  delivery_ = std::thread();
}

void MemoryLine::DeliveryLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_delivery_ || !written_.empty(); });
    if (stop_delivery_) return;
    std::vector<UCHAR> chunk = std::move(written_.front());
    written_.pop_front();
    Listener listener = listener_;
    delivering_ = true;
    lock.unlock();
    listener(chunk);
    lock.lock();
    delivering_ = false;
    cv_.notify_all();
  }
}

void MemoryLine::WaitDelivered() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] {
    return stop_delivery_ || !delivery_.joinable() || (written_.empty() && !delivering_);
  });
}

bool MemoryLine::is_open() const {
  std::lock_guard lock(mutex_);
  return open_;
}

LineSettings MemoryLine::settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void MemoryLine::FailNextOpen(NTSTATUS status) {
  std::lock_guard lock(mutex_);
  fail_open_ = status;
}

NTSTATUS MemoryLine::Open() {
  std::lock_guard lock(mutex_);
  if (!NT_SUCCESS(fail_open_)) {
    NTSTATUS status = fail_open_;
    fail_open_ = STATUS_SUCCESS;
    return status;
  }
  open_ = true;
  dsr_changed_ = false;
  return STATUS_SUCCESS;
}

void MemoryLine::Close() {
  std::lock_guard lock(mutex_);
  open_ = false;
}

NTSTATUS MemoryLine::Configure(const LineSettings& settings) {
  std::lock_guard lock(mutex_);
  settings_ = settings;
  return STATUS_SUCCESS;
}

void MemoryLine::HoldWrites(bool hold) {
  {
    std::lock_guard lock(mutex_);
    hold_writes_ = hold;
  }
  std::lock_guard lock(sink_mutex_);
  if (sink_ != nullptr && !hold) sink_->Wake();
}

size_t MemoryLine::Transmit(std::span<const UCHAR> bytes) {
  {
    std::lock_guard lock(mutex_);
    if (hold_writes_) return 0;
    written_.emplace_back(bytes.begin(), bytes.end());
  }
  cv_.notify_all();
  return bytes.size();
}

bool MemoryLine::DsrChanged() const {
  std::lock_guard lock(mutex_);
  return dsr_changed_;
}

ULONG MemoryLine::ModemStatus() {
  std::lock_guard lock(mutex_);
  return SERIAL_CTS_STATE | (dsr_ ? SERIAL_DSR_STATE : 0) | SERIAL_DCD_STATE;
}

}  // namespace tolvex::serial
