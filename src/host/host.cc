#include "host/host.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "driver/frame/frame.h"
#include "host/simulated_reader.h"
#include "platform/platform.h"
#include "serial/memory_line.h"
#include "serial/serial_port.h"
#include "serial/tapped_line.h"
#include "serial/tty_line.h"
#include "sim/reader_sim.h"

namespace tolvex::host {

namespace {

constexpr char16_t kDriverName[] = u"\\Driver\\Tolvex";
constexpr char16_t kServiceKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvex";

std::u16string Decimal(unsigned value) {
  return platform::ToU16(std::to_string(value));
}

}  // namespace

struct Host::State {
  Options options;
  platform::Platform platform;
  std::map<unsigned, std::shared_ptr<serial::LineBackend>> ports;
  std::map<unsigned, std::shared_ptr<serial::MemoryLine>> memory_lines;
  std::map<unsigned, std::unique_ptr<sim::ReaderSim>> simulators;
  std::map<unsigned, WireObserver> taps;
  std::optional<std::uint32_t> port_mask;
  bool mask_set = false;
  std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> raw_mask;
  PDRIVER_OBJECT serial_driver = nullptr;
  PDRIVER_OBJECT driver = nullptr;
};

Host::Host() : Host(Options{}) {}

Host::Host(Options options) : state_(std::make_unique<State>()) {
  state_->options = options;
  if (options.skip_delays) {
    state_->platform.clock().SetDelayMode(platform::Clock::DelayMode::kSkip);
  }
}

Host::~Host() {
  Stop();
  // The simulators' lines go quiet before the lines go away.
  for (auto& [index, line] : state_->memory_lines) line->SetListener(nullptr);
  state_->simulators.clear();
}

serial::MemoryLine& Host::AddMemoryPort(unsigned index) {
  auto line = std::make_shared<serial::MemoryLine>();
  state_->ports[index] = line;
  state_->memory_lines[index] = line;
  return *line;
}

sim::ReaderSim& Host::AddSimulatedPort(unsigned index) {
  return AddSimulatedPort(index, sim::ReaderOptions{});
}

sim::ReaderSim& Host::AddSimulatedPort(unsigned index, const sim::ReaderOptions& options) {
  serial::MemoryLine& line = AddMemoryPort(index);
  auto simulator = std::make_unique<sim::ReaderSim>(
      sim::Line{[&line](std::span<const std::uint8_t> bytes) { line.Send(bytes); },
                [&line](bool on) { line.SetDsr(on); }},
      options);
  sim::ReaderSim* reader = simulator.get();
  line.SetListener([reader](std::span<const UCHAR> chunk) { reader->HostWrote(chunk); });
  state_->simulators[index] = std::move(simulator);
  return *reader;
}

SimulatedReader Host::AddSimulatedReader(unsigned index) {
  return SimulatedReader(AddSimulatedPort(index), /*has_dsr=*/true);
}

void Host::AddDevicePort(unsigned index, std::string path) {
  state_->ports[index] = std::make_shared<serial::TtyLine>(std::move(path));
}

void Host::Tap(unsigned index, WireObserver observer) {
  state_->taps[index] = std::move(observer);
}

void Host::SetPortMask(std::optional<std::uint32_t> mask) {
  state_->port_mask = mask;
  state_->mask_set = true;
}

void Host::SetPortMaskValue(std::uint32_t type, std::vector<std::uint8_t> data) {
  state_->raw_mask = std::make_pair(type, std::move(data));
}

Status Host::Start() {
  platform::PlatformScope scope(state_->platform);
  std::vector<serial::PortBinding> bindings;
  for (const auto& [index, backend] : state_->ports) {
    std::shared_ptr<serial::LineBackend> line = backend;
    if (auto tap = state_->taps.find(index); tap != state_->taps.end()) {
      line = std::make_shared<serial::TappedLine>(
          backend, [observer = tap->second](const serial::LineTraffic& traffic) {
            observer(WireChunk{traffic.from_device, traffic.at, traffic.bytes});
          });
    }
    bindings.push_back(serial::PortBinding{index, std::move(line)});
  }
  NTSTATUS status =
      serial::LoadSerialDriver(state_->platform, std::move(bindings), &state_->serial_driver);
  if (!NT_SUCCESS(status)) return status;
  return StartReaderDriver();
}

Status Host::StartReaderDriver() {
  std::uint32_t mask = 0;
  for (const auto& [index, backend] : state_->ports) {
    if (index < 32) mask |= 1U << index;
  }
  const std::u16string parameters = std::u16string(kServiceKey) + u"\\Parameters";
  platform::Registry& registry = state_->platform.registry();
  registry.CreateKey(parameters);
  if (state_->raw_mask) {
    registry.SetValue(parameters, u"COMMask", state_->raw_mask->first, state_->raw_mask->second);
  } else if (!state_->mask_set) {
    registry.SetDword(parameters, u"COMMask", mask);
  } else if (state_->port_mask) {
    registry.SetDword(parameters, u"COMMask", *state_->port_mask);
  }
  return state_->platform.LoadDriver(kDriverName, DriverEntry, kServiceKey, DRIVER_POOL_TAG,
                                     &state_->driver);
}

Status Host::RestartDriver() {
  (void)StopDriver();
  if (state_->serial_driver == nullptr) return STATUS_INVALID_DEVICE_STATE;  // never started
  platform::PlatformScope scope(state_->platform);
  return StartReaderDriver();
}

std::string Host::StopDriver() {
  platform::PlatformScope scope(state_->platform);
  if (state_->driver != nullptr) {
    state_->platform.UnloadDriver(state_->driver);  // stops on memory of the driver's tag
    state_->driver = nullptr;
  }
  platform::PoolMonitor& pool = state_->platform.pool();
  if (pool.Usage(SMCLIB_POOL_TAG).allocations != 0 ||
      pool.Usage(DRIVER_POOL_TAG).allocations != 0) {
    return pool.Describe();
  }
  return {};
}

std::string Host::Stop() {
  platform::PlatformScope scope(state_->platform);
  std::string left = StopDriver();
  if (!left.empty()) return left;
  if (state_->serial_driver != nullptr) {
    state_->platform.UnloadDriver(state_->serial_driver);
    state_->serial_driver = nullptr;
  }
  state_->platform.DrainWorkQueue();
  if (state_->platform.pool().OutstandingAllocations() == 0) return {};
  return state_->platform.pool().Describe();
}

bool Host::started() const {
  return state_->driver != nullptr;
}

LineLoss Host::Lost(unsigned index) const {
  const auto it = state_->ports.find(index);
  if (it == state_->ports.end()) return LineLoss::kNone;
  if (it->second->Gone()) return LineLoss::kHungUp;
  return it->second->DsrChanged() ? LineLoss::kDataSetReady : LineLoss::kNone;
}

std::string Host::DevicePath(unsigned index) const {
  const auto it = state_->ports.find(index);
  if (it == state_->ports.end()) return {};
  const auto* device = dynamic_cast<const serial::TtyLine*>(it->second.get());
  return device != nullptr ? device->path() : std::string();
}

std::vector<unsigned> Host::Readers() const {
  std::vector<unsigned> readers;
  if (state_->driver == nullptr) return readers;
  for (PDEVICE_OBJECT device = state_->driver->DeviceObject; device != nullptr;
       device = device->NextDevice) {
    auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    readers.push_back(extension->SmartcardExtension.VendorAttr.UnitNo);
  }
  std::sort(readers.begin(), readers.end());
  return readers;
}

Status Host::ProbePort(unsigned index) {
  return OpenDevice(u"\\Device\\Serial" + Decimal(index)).status;
}

std::u16string Host::ReaderName(unsigned index) const {
  return u"\\Device\\Tolvex" + Decimal(index);
}

platform::Platform& Host::platform() {
  return state_->platform;
}

serial::MemoryLine* Host::memory_line(unsigned index) {
  auto it = state_->memory_lines.find(index);
  return it == state_->memory_lines.end() ? nullptr : it->second.get();
}

sim::ReaderSim* Host::simulator(unsigned index) {
  auto it = state_->simulators.find(index);
  return it == state_->simulators.end() ? nullptr : it->second.get();
}

Result<std::unique_ptr<Handle>> Host::OpenDevice(const std::u16string& name) {
  platform::PlatformScope scope(state_->platform);
  std::u16string text = name;
  UNICODE_STRING device_name{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                             static_cast<USHORT>(text.size() * sizeof(WCHAR)), text.data()};
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  const Status status = IoGetDeviceObjectPointer(&device_name, FILE_ALL_ACCESS, &file, &device);
  if (!NT_SUCCESS(status)) return {status, nullptr};
  return {status, std::unique_ptr<Handle>(new Handle(*this, file, device))};
}

// ---------------------------------------------------------------------------------------------
// Requests

struct Request::Irp {
  PIRP irp = nullptr;
  KEVENT done;      // the driver completed it (the completion is held until Wait finishes it)
  KEVENT finished;  // the platform finished it
  IO_STATUS_BLOCK status_block{};
  std::vector<UCHAR> input;
  std::vector<UCHAR> output;
  // Guards irp, finished_flag and final_status: Cancel may come from another thread while Wait
  // finishes the request.
  std::mutex mutex;
  bool finished_flag = false;
  NTSTATUS final_status = STATUS_PENDING;

  static NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(&static_cast<Irp*>(context)->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // kept alive, so that Cancel stays safe
  }
};

Request::Request(Host& host, std::unique_ptr<Irp> irp) : host_(host), irp_(std::move(irp)) {}

Request::~Request() {
  if (irp_ && !done()) {
    Cancel();
    (void)Wait();
  }
}

bool Request::done() const {
  std::lock_guard lock(irp_->mutex);
  return irp_->finished_flag;
}

void Request::Cancel() {
  std::lock_guard lock(irp_->mutex);
  if (irp_->finished_flag) return;
  platform::PlatformScope scope(host_.platform());
  // Safe while the driver completes it too: the completion is held until Wait finishes it.
  (void)IoCancelIrp(irp_->irp);
}

Status Request::Wait(std::optional<std::chrono::milliseconds> limit) {
  {
    std::lock_guard lock(irp_->mutex);
    if (irp_->finished_flag) return irp_->final_status;
  }
  platform::PlatformScope scope(host_.platform());
  LARGE_INTEGER timeout{};
  if (limit) timeout = RelativeMilliseconds(static_cast<ULONGLONG>(limit->count()));
  if (KeWaitForSingleObject(&irp_->done, Executive, KernelMode, FALSE,
                            limit ? &timeout : nullptr) != STATUS_SUCCESS) {
    return STATUS_TIMEOUT;
  }
  std::lock_guard lock(irp_->mutex);
  if (irp_->finished_flag) return irp_->final_status;  // another waiter finished it
  // Finish the completion: the output is copied out and the request released.
  IofCompleteRequest(irp_->irp, IO_NO_INCREMENT);
  irp_->irp = nullptr;
  irp_->finished_flag = true;
  irp_->final_status = irp_->status_block.Status;
  const size_t returned = std::min<size_t>(irp_->status_block.Information, irp_->output.size());
  output_.assign(irp_->output.begin(), irp_->output.begin() + returned);
  return irp_->final_status;
}

// ---------------------------------------------------------------------------------------------
// Handles

Handle::Handle(Host& host, void* file, void* device) : host_(host), file_(file), device_(device) {}

Handle::~Handle() {
  Close();
}

void Handle::Close() {
  if (file_ == nullptr) return;
  platform::PlatformScope scope(host_.platform());
  ObfDereferenceObject(file_);
  file_ = nullptr;
}

std::unique_ptr<Request> Handle::Start(std::uint32_t code, std::span<const std::uint8_t> input,
                                       std::size_t output_size) {
  platform::PlatformScope scope(host_.platform());
  auto irp = std::make_unique<Request::Irp>();
  irp->input.assign(input.begin(), input.end());
  irp->output.assign(output_size, 0);
  KeInitializeEvent(&irp->done, NotificationEvent, FALSE);
  KeInitializeEvent(&irp->finished, NotificationEvent, FALSE);
  auto* device = static_cast<PDEVICE_OBJECT>(device_);
  irp->irp = IoBuildDeviceIoControlRequest(
      code, device, irp->input.empty() ? nullptr : irp->input.data(),
      static_cast<ULONG>(irp->input.size()), irp->output.empty() ? nullptr : irp->output.data(),
      static_cast<ULONG>(irp->output.size()), FALSE, &irp->finished, &irp->status_block);
  if (irp->irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp->irp);
  stack->FileObject = static_cast<PFILE_OBJECT>(file_);
  irp->irp->Tail.Overlay.OriginalFileObject = static_cast<PFILE_OBJECT>(file_);
  IoSetCompletionRoutine(irp->irp, Request::Irp::Completed, irp.get(), TRUE, TRUE, TRUE);
  (void)IofCallDriver(device, irp->irp);  // its status comes with the completion
  return std::unique_ptr<Request>(new Request(host_, std::move(irp)));
}

Result<std::vector<std::uint8_t>> Handle::Control(std::uint32_t code,
                                                  std::span<const std::uint8_t> input,
                                                  std::size_t output_size) {
  std::unique_ptr<Request> request = Start(code, input, output_size);
  if (!request) return {STATUS_INSUFFICIENT_RESOURCES};
  const Status status = request->Wait();
  return {status, request->output()};
}

}  // namespace tolvex::host
