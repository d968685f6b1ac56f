// The in-memory registry and RtlQueryRegistryValues, as the driver reads its settings: a
// value stored straight into a variable.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;
using Bytes = std::vector<UCHAR>;

constexpr char16_t kKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PlatformTest\\Parameters";

Bytes Dword(ULONG value) {
  Bytes bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

// A direct query of "Value": what is stored there (nothing when `type` is REG_NONE), the
// entry's flags and default type (a DWORD of 42 as the default data), and how it ends.
struct DirectCase {
  const char* what;
  ULONG type;
  Bytes stored;
  ULONG flags;
  ULONG default_type;
  NTSTATUS status;
  Bytes destination;  // its four bytes afterwards
  const char16_t* name = u"Value";
  const char16_t* path = kKey;
};

// A value of up to four bytes, or its default, goes to the destination as it is; the type
// check (the expected type in the top byte of DefaultType) leaves it and the bytes around it
// untouched on a mismatch.
TEST(RegistryTest, DirectQueryStoresTheValueOrItsDefault) {
  constexpr ULONG kCheck = RTL_QUERY_REGISTRY_TYPECHECK;
  constexpr ULONG kRequired = RTL_QUERY_REGISTRY_REQUIRED;
  constexpr ULONG kDwordOnly = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
  constexpr NTSTATUS kMismatch = STATUS_OBJECT_TYPE_MISMATCH;
  constexpr NTSTATUS kNotFound = STATUS_OBJECT_NAME_NOT_FOUND;
  const Bytes kUnset = Dword(0xCCCCCCCC);
  const DirectCase cases[] = {
      {"dword", REG_DWORD, Dword(9600), 0, REG_NONE, STATUS_SUCCESS, Dword(9600)},
      {"absent: the default", REG_NONE, {}, 0, REG_DWORD, STATUS_SUCCESS, Dword(42)},
      {"absent and required", REG_NONE, {}, kRequired, REG_NONE, kNotFound, kUnset},
      {"missing key", REG_DWORD, Dword(1), 0, REG_NONE, kNotFound, kUnset, u"Value",
       u"\\Registry\\Machine\\Nowhere"},
      {"empty value: nothing stored", REG_BINARY, {}, 0, REG_NONE, STATUS_SUCCESS, kUnset},
      {"checked dword", REG_DWORD, Dword(9600), kCheck, kDwordOnly, STATUS_SUCCESS, Dword(9600)},
      {"checked string", REG_SZ, {'9', 0, 0, 0}, kCheck, kDwordOnly, kMismatch, kUnset},
  };
  Platform platform;
  PlatformScope scope(platform);
  platform.registry().CreateKey(kKey);
  ULONG fallback = 42;
  for (const DirectCase& c : cases) {
    SCOPED_TRACE(c.what);
    platform.registry().DeleteValue(kKey, u"Value");
    if (c.type != REG_NONE) platform.registry().SetValue(kKey, u"Value", c.type, c.stored);
    std::array<UCHAR, 12> guarded;  // four bytes, with guards on both sides
    guarded.fill(0xCC);
    const bool with_default = (c.default_type & 0xFF) != REG_NONE;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | c.flags;
    table[0].Name = const_cast<PWSTR>(c.name);
    table[0].EntryContext = guarded.data() + 4;
    table[0].DefaultType = c.default_type;
    table[0].DefaultData = with_default ? &fallback : nullptr;
    table[0].DefaultLength = with_default ? 4 : 0;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, c.path, table, nullptr, nullptr),
              c.status);
    EXPECT_EQ(Bytes(guarded.begin() + 4, guarded.begin() + 8), c.destination);
    EXPECT_EQ(Bytes(guarded.begin(), guarded.begin() + 4), Bytes(4, 0xCC));
    EXPECT_EQ(Bytes(guarded.begin() + 8, guarded.end()), Bytes(4, 0xCC));
  }
}

}  // namespace
