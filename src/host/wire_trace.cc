#include "host/wire_trace.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "host/hex.h"
#include "sim/line_decoder.h"

namespace tolvex::host {

std::string TraceText(std::chrono::nanoseconds at, const std::string& text) {
  const double ms = std::chrono::duration<double, std::milli>(at).count();
  return fmt::format("{:12.3f} ms  {}", ms, text);
}

std::string TraceJson(const TraceLine& line, const std::string& device) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(line.at).count();
  nlohmann::ordered_json object{{"trace", line.text},
                                {"dir", line.from_reader ? "reader" : "host"},
                                {"us", us},
                                {"bytes", Hex(line.wire)},
                                {"port", line.port}};
  if (!device.empty()) object["device"] = device;
  return object.dump();
}

std::optional<TraceLine> ParseTraceJson(const std::string& text, std::string* device,
                                        std::string* error) {
  const auto object = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object() || !object.contains("dir") || !object.contains("bytes") ||
      !object["dir"].is_string() || !object["bytes"].is_string()) {
    *error = "not a line of a wire trace";
    return std::nullopt;
  }
  const std::string dir = object["dir"];
  if (dir != "host" && dir != "reader") {
    *error = "\"dir\" is " + dir;
    return std::nullopt;
  }
  auto bytes = ParseHex(std::string(object["bytes"]));
  if (!bytes) {
    *error = "\"bytes\" is not hex";
    return std::nullopt;
  }
  TraceLine line;
  line.port = object.contains("port") && object["port"].is_number_unsigned()
                  ? object["port"].get<unsigned>()
                  : 0;
  line.from_reader = dir == "reader";
  if (object.contains("us") && object["us"].is_number_integer()) {
    line.at = std::chrono::microseconds(object["us"].get<long long>());
  }
  line.wire = std::move(*bytes);
  line.text = object.value("trace", "");
  *device = object.contains("device") && object["device"].is_string()
                ? std::string(object["device"])
                : fmt::format("port {}", line.port);
  return line;
}

WireTrace::WireTrace(Printer printer)
    : printer_(std::move(printer)), start_(std::chrono::steady_clock::now()) {
  thread_ = std::thread([this] { Run(); });
}

WireTrace::~WireTrace() {
  Finish();
}

WireObserver WireTrace::Observer(unsigned port) {
  return [this, port](const WireChunk& chunk) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(
          Chunk{port, chunk.from_reader, chunk.at, {chunk.bytes.begin(), chunk.bytes.end()}});
    }
    cv_.notify_one();
  };
}

void WireTrace::Finish() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void WireTrace::Print(unsigned port, const std::vector<sim::DecodedEntry>& entries) {
  for (const sim::DecodedEntry& decoded : entries) {
    printer_(TraceLine{port, decoded.entry.origin() != sim::Origin::kHost, decoded.entry.at,
                       decoded.wire, decoded.entry.ToString()});
  }
}

void WireTrace::Run() {
  std::vector<sim::DecodedEntry> entries;
  bool held = false;  // a decoder may hold the card's bytes back
  for (;;) {
    std::deque<Chunk> chunks;
    bool stop;
    {
      std::unique_lock lock(mutex_);
      if (held) {
        cv_.wait_for(lock, kQuiet, [this] { return stop_ || !queue_.empty(); });
      } else {
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      }
      chunks.swap(queue_);
      stop = stop_;
    }
    for (const Chunk& chunk : chunks) {
      auto& decoder = decoders_[chunk.port];
      if (!decoder) decoder = std::make_unique<sim::LineDecoder>();
      const auto at = std::chrono::duration_cast<std::chrono::nanoseconds>(chunk.at - start_);
      entries.clear();
      if (chunk.from_reader) {
        decoder->ReaderSent(chunk.bytes, at, entries);
      } else {
        decoder->HostWrote(chunk.bytes, at, entries);
      }
      Print(chunk.port, entries);
    }
    // Quiet for kQuiet (or done): what the decoders hold back comes out.
    if (chunks.empty() || stop) {
      for (auto& [port, decoder] : decoders_) {
        entries.clear();
        if (stop) {
          decoder->Finish(entries);
        } else {
          decoder->Flush(entries);
        }
        Print(port, entries);
      }
    }
    held = !chunks.empty();
    if (stop) return;
  }
}

}  // namespace tolvex::host
