// The in-memory registry and RtlQueryRegistryValues.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// Names each case of a table after its `name`.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;

constexpr char16_t kKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PlatformTest\\Parameters";
constexpr ULONG kStringTag = PoolTag("RtlS");

PWSTR W(const char16_t* text) {
  return const_cast<PWSTR>(text);
}

// A table of one entry and its terminator.
struct QueryTable {
  RTL_QUERY_REGISTRY_TABLE entries[2] = {};
  RTL_QUERY_REGISTRY_TABLE& entry() { return entries[0]; }
};

QueryTable Direct(const char16_t* name, PVOID destination, ULONG flags = 0) {
  QueryTable table;
  table.entry().Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
  table.entry().Name = W(name);
  table.entry().EntryContext = destination;
  return table;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { platform_.registry().CreateKey(kKey); }
  void TearDown() override {
    EXPECT_EQ(platform_.pool().OutstandingAllocations(), 0u) << platform_.pool().Describe();
  }

  NTSTATUS Query(QueryTable& table, const char16_t* path = kKey, PVOID context = nullptr) {
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table.entries, context, nullptr);
  }

  Platform platform_;
  PlatformScope scope_{platform_};
};

TEST_F(RegistryTest, DirectDwordIsStored) {
  platform_.registry().SetDword(kKey, u"BaudRate", 9600);
  ULONG value = 0xFFFFFFFF;
  QueryTable table = Direct(u"BaudRate", &value);
  EXPECT_EQ(Query(table), STATUS_SUCCESS);
  EXPECT_EQ(value, 9600u);
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCase) {
  platform_.registry().SetDword(kKey, u"BaudRate", 115200);
  ULONG value = 0;
  QueryTable table = Direct(u"BAUDRATE", &value);
  EXPECT_EQ(Query(table,
                  u"\\REGISTRY\\machine\\SYSTEM\\CurrentControlSet\\Services\\"
                  u"platformtest\\PARAMETERS"),
            STATUS_SUCCESS);
  EXPECT_EQ(value, 115200u);
}

TEST_F(RegistryTest, AbsentValueTakesTheTypedDefault) {
  ULONG fallback = 42;
  ULONG value = 0;
  QueryTable table = Direct(u"Missing", &value);
  table.entry().DefaultType = REG_DWORD;
  table.entry().DefaultData = &fallback;
  table.entry().DefaultLength = sizeof(fallback);
  EXPECT_EQ(Query(table), STATUS_SUCCESS);
  EXPECT_EQ(value, 42u);
}

TEST_F(RegistryTest, AbsentValueWithoutDefaultIsSkipped) {
  ULONG value = 7;
  QueryTable table = Direct(u"Missing", &value);
  EXPECT_EQ(Query(table), STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);
}

TEST_F(RegistryTest, AbsentRequiredValueFailsTheQuery) {
  ULONG value = 7;
  QueryTable table = Direct(u"Missing", &value, RTL_QUERY_REGISTRY_REQUIRED);
  const NTSTATUS status = Query(table);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(static_cast<ULONG>(status), 0xC0000034u);
  EXPECT_EQ(value, 7u);

  platform_.registry().SetDword(kKey, u"Missing", 3);
  EXPECT_EQ(Query(table), STATUS_SUCCESS);
  EXPECT_EQ(value, 3u);
}

TEST_F(RegistryTest, MissingKeyFailsTheQuery) {
  ULONG value = 7;
  QueryTable table = Direct(u"BaudRate", &value);
  EXPECT_EQ(Query(table, u"\\Registry\\Machine\\System\\Nowhere"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 7u);
}

TEST_F(RegistryTest, EmptyValueStoresNothing) {
  platform_.registry().SetValue(kKey, u"Empty", REG_BINARY, {});
  ULONG value = 7;
  QueryTable table = Direct(u"Empty", &value);
  EXPECT_EQ(Query(table), STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);
}

TEST_F(RegistryTest, EmptyStringValueGivesAnEmptyTerminatedString) {
  platform_.registry().SetValue(kKey, u"PortName", REG_SZ, {});
  std::array<WCHAR, 8> storage;
  storage.fill(u'#');
  UNICODE_STRING port{6, 16, storage.data()};
  QueryTable table = Direct(u"PortName", &port);
  EXPECT_EQ(Query(table), STATUS_SUCCESS);
  EXPECT_EQ(port.Length, 0);
  EXPECT_EQ(storage[0], u'\0');
}

// Type check: the expected type rides in the top byte of DefaultType. A mismatch must leave the
// destination, and the bytes around it, exactly as they were.
struct TypeCheckCase {
  const char* name;
  ULONG stored_type;
  std::vector<UCHAR> stored;
  NTSTATUS status;
};
void PrintTo(const TypeCheckCase& c, std::ostream* os) {
  *os << c.name;
}

class RegistryTypeCheckTest : public RegistryTest,
                              public ::testing::WithParamInterface<TypeCheckCase> {};

TEST_P(RegistryTypeCheckTest, StoresOnlyAValueOfTheExpectedType) {
  const TypeCheckCase& c = GetParam();
  platform_.registry().SetValue(kKey, u"Value", c.stored_type, c.stored);
  std::array<UCHAR, 16> guarded;
  guarded.fill(0xCC);
  UCHAR* destination = guarded.data() + 6;  // four bytes, with guards on both sides
  QueryTable table = Direct(u"Value", destination, RTL_QUERY_REGISTRY_TYPECHECK);
  table.entry().DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
  EXPECT_EQ(Query(table), c.status);
  if (c.status == STATUS_SUCCESS) {
    EXPECT_TRUE(std::equal(c.stored.begin(), c.stored.end(), destination));
  } else {
    EXPECT_EQ(static_cast<ULONG>(c.status), 0xC0000024u);
    EXPECT_THAT(std::vector<UCHAR>(destination, destination + 4), Each(0xCC));
  }
  EXPECT_THAT(std::vector<UCHAR>(guarded.begin(), guarded.begin() + 6), Each(0xCC));
  EXPECT_THAT(std::vector<UCHAR>(guarded.begin() + 10, guarded.end()), Each(0xCC));
}

INSTANTIATE_TEST_SUITE_P(
    Types, RegistryTypeCheckTest,
    ::testing::Values(
        TypeCheckCase{"Dword", REG_DWORD, {0x80, 0x25, 0, 0}, STATUS_SUCCESS},
        TypeCheckCase{
            "LongBinary", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, STATUS_OBJECT_TYPE_MISMATCH},
        TypeCheckCase{"ShortBinary", REG_BINARY, {1, 2}, STATUS_OBJECT_TYPE_MISMATCH},
        TypeCheckCase{"String", REG_SZ, {'9', 0, '6', 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH},
        TypeCheckCase{"Qword", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH}),
    CaseName<TypeCheckCase>);

TEST_F(RegistryTest, TypeCheckAppliesToTheDefaultToo) {
  ULONG fallback = 5;
  ULONG value = 7;
  QueryTable table = Direct(u"Missing", &value, RTL_QUERY_REGISTRY_TYPECHECK);
  table.entry().DefaultType = (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
  table.entry().DefaultData = &fallback;
  table.entry().DefaultLength = sizeof(fallback);
  EXPECT_EQ(Query(table), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(value, 7u);
}

TEST_F(RegistryTest, StringIntoAnEmptyUnicodeStringAllocatesItsBuffer) {
  platform_.registry().SetString(kKey, u"PortName", u"COM3");
  UNICODE_STRING port{0, 0, nullptr};
  QueryTable table = Direct(u"PortName", &port);
  ASSERT_EQ(Query(table), STATUS_SUCCESS);
  ASSERT_NE(port.Buffer, nullptr);
  EXPECT_EQ(tolvex::platform::View(port), u"COM3");
  EXPECT_EQ(port.Length, 8);
  EXPECT_GE(port.MaximumLength, 10);
  EXPECT_EQ(port.Buffer[4], 0);
  EXPECT_EQ(platform_.pool().Usage(kStringTag).allocations, 1u);
  ExFreePool(port.Buffer);
}

TEST_F(RegistryTest, StringIntoTheCallersBufferFitsOrFails) {
  platform_.registry().SetString(kKey, u"PortName", u"COM3");
  struct Room {
    USHORT maximum;
    NTSTATUS status;
    bool terminated;
  };
  for (Room room : {Room{64, STATUS_SUCCESS, true}, Room{8, STATUS_SUCCESS, false},
                    Room{6, STATUS_BUFFER_TOO_SMALL, false}}) {
    SCOPED_TRACE(room.maximum);
    std::array<WCHAR, 32> storage;
    storage.fill(u'#');
    UNICODE_STRING port{0, room.maximum, storage.data()};
    QueryTable table = Direct(u"PortName", &port);
    EXPECT_EQ(Query(table), room.status);
    EXPECT_EQ(port.Buffer, storage.data());
    if (room.status != STATUS_SUCCESS) {
      EXPECT_EQ(port.Length, 0);
      EXPECT_EQ(storage[0], u'#');
      continue;
    }
    EXPECT_EQ(tolvex::platform::View(port), u"COM3");
    EXPECT_EQ(storage[4], room.terminated ? u'\0' : u'#');
  }
}

TEST_F(RegistryTest, StringDefaultWithoutLengthIsMeasured) {
  UNICODE_STRING port{0, 0, nullptr};
  QueryTable table = Direct(u"PortName", &port);
  table.entry().DefaultType = REG_SZ;
  table.entry().DefaultData = W(u"COM1");
  ASSERT_EQ(Query(table), STATUS_SUCCESS);
  EXPECT_EQ(tolvex::platform::View(port), u"COM1");
  ExFreePool(port.Buffer);
}

// Data longer than four bytes: the destination's first LONG tells the room there. Negative:
// the data alone is stored; positive: length, type, then the data.
struct BinaryCase {
  const char* name;
  LONG room;
  NTSTATUS status;
  std::vector<UCHAR> expected;  // the destination's first bytes afterwards
};
void PrintTo(const BinaryCase& c, std::ostream* os) {
  *os << c.name;
}

class RegistryBinaryTest : public RegistryTest, public ::testing::WithParamInterface<BinaryCase> {};

TEST_P(RegistryBinaryTest, LongDataFollowsTheRoomConvention) {
  const BinaryCase& c = GetParam();
  platform_.registry().SetValue(kKey, u"Atr", REG_BINARY, {1, 2, 3, 4, 5, 6});
  std::array<UCHAR, 24> destination;
  destination.fill(0xCC);
  std::memcpy(destination.data(), &c.room, sizeof(c.room));
  QueryTable table = Direct(u"Atr", destination.data());
  EXPECT_EQ(Query(table), c.status);
  EXPECT_THAT(std::vector<UCHAR>(destination.begin(), destination.begin() + c.expected.size()),
              ElementsAreArray(c.expected));
  EXPECT_THAT(std::vector<UCHAR>(destination.begin() + 14, destination.end()), Each(0xCC));
}

std::vector<UCHAR> RoomBytes(LONG room) {
  std::vector<UCHAR> bytes(4);
  std::memcpy(bytes.data(), &room, 4);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Rooms, RegistryBinaryTest,
    ::testing::Values(
        BinaryCase{"NegativeRoomEnough", -16, STATUS_SUCCESS, {1, 2, 3, 4, 5, 6, 0xCC}},
        BinaryCase{"NegativeRoomExact", -6, STATUS_SUCCESS, {1, 2, 3, 4, 5, 6, 0xCC}},
        BinaryCase{"NegativeRoomShort", -5, STATUS_BUFFER_TOO_SMALL, RoomBytes(-5)},
        BinaryCase{"PositiveRoomEnough",
                   16,
                   STATUS_SUCCESS,
                   {6, 0, 0, 0, REG_BINARY, 0, 0, 0, 1, 2, 3, 4, 5, 6}},
        BinaryCase{"PositiveRoomShort", 13, STATUS_BUFFER_TOO_SMALL, RoomBytes(13)},
        BinaryCase{"NoRoom", 0, STATUS_BUFFER_TOO_SMALL, RoomBytes(0)}),
    CaseName<BinaryCase>);

// --- Query routines --------------------------------------------------------------------------

struct RoutineCall {
  std::u16string name;
  ULONG type;
  std::vector<UCHAR> data;
  PVOID context;
  PVOID entry_context;
};

struct RoutineLog {
  std::vector<RoutineCall> calls;
  NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS LogValue(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                  PVOID entry_context) {
  auto* log = static_cast<RoutineLog*>(context);
  const auto* bytes = static_cast<const UCHAR*>(data);
  log->calls.push_back(
      RoutineCall{name, type, std::vector<UCHAR>(bytes, bytes + length), context, entry_context});
  return log->result;
}

TEST_F(RegistryTest, QueryRoutineReceivesEachValueWithTheContexts) {
  platform_.registry().SetDword(kKey, u"Speed", 0x01020304);
  RoutineLog log;
  int marker_one = 0;
  int marker_two = 0;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0] = {LogValue, 0, W(u"Speed"), &marker_one, REG_NONE, nullptr, 0};
  table[1] = {LogValue, 0, W(u"Port"), &marker_two, REG_SZ, W(u"COM2"), 0};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, &log, nullptr),
            STATUS_SUCCESS);
  ASSERT_EQ(log.calls.size(), 2u);
  EXPECT_EQ(log.calls[0].name, u"Speed");
  EXPECT_EQ(log.calls[0].type, REG_DWORD);
  EXPECT_THAT(log.calls[0].data, ElementsAre(4, 3, 2, 1));
  EXPECT_EQ(log.calls[0].context, &log);
  EXPECT_EQ(log.calls[0].entry_context, &marker_one);
  EXPECT_EQ(log.calls[1].type, REG_SZ);
  EXPECT_THAT(log.calls[1].data, ElementsAre('C', 0, 'O', 0, 'M', 0, '2', 0, 0, 0));
  EXPECT_EQ(log.calls[1].entry_context, &marker_two);
}

TEST_F(RegistryTest, FailingQueryRoutineStopsTheQueryWithItsStatus) {
  platform_.registry().SetDword(kKey, u"First", 1);
  platform_.registry().SetDword(kKey, u"Second", 2);
  RoutineLog log;
  log.result = STATUS_INVALID_PARAMETER;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0] = {LogValue, 0, W(u"First"), nullptr, REG_NONE, nullptr, 0};
  table[1] = {LogValue, 0, W(u"Second"), nullptr, REG_NONE, nullptr, 0};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, &log, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(log.calls.size(), 1u);
}

}  // namespace
