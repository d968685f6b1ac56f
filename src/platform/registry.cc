// The registry: keys and values, names compared without case.
#include "platform/platform.h"

#include <cstring>
#include <mutex>

namespace tolvex::platform {

std::u16string Registry::KeyOf(std::u16string_view text) {
  std::u16string folded = FoldCase(text);
  while (!folded.empty() && folded.back() == u'\\') folded.pop_back();
  return folded;
}

void Registry::CreateKey(std::u16string_view path) {
  std::lock_guard lock(mutex_);
  keys_[KeyOf(path)];
}

void Registry::SetValue(std::u16string_view path, std::u16string_view name, ULONG type,
                        std::vector<UCHAR> data) {
  std::lock_guard lock(mutex_);
  keys_[KeyOf(path)][KeyOf(name)] = Value{type, std::move(data)};
}

void Registry::SetDword(std::u16string_view path, std::u16string_view name, ULONG value) {
  std::vector<UCHAR> data(4);
  std::memcpy(data.data(), &value, 4);
  SetValue(path, name, REG_DWORD, std::move(data));
}

void Registry::SetString(std::u16string_view path, std::u16string_view name,
                         std::u16string_view value) {
  std::vector<UCHAR> data((value.size() + 1) * sizeof(char16_t), 0);
  std::memcpy(data.data(), value.data(), value.size() * sizeof(char16_t));
  SetValue(path, name, REG_SZ, std::move(data));
}

void Registry::DeleteValue(std::u16string_view path, std::u16string_view name) {
  std::lock_guard lock(mutex_);
  auto key = keys_.find(KeyOf(path));
  if (key != keys_.end()) key->second.erase(KeyOf(name));
}

bool Registry::KeyExists(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  return keys_.count(KeyOf(path)) != 0;
}

std::optional<Registry::Value> Registry::GetValue(std::u16string_view path,
                                                  std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  auto key = keys_.find(KeyOf(path));
  if (key == keys_.end()) return std::nullopt;
  auto value = key->second.find(KeyOf(name));
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

}  // namespace tolvex::platform
