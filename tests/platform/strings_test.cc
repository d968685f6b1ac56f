// Counted strings and UTF-16 helpers.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace {

using tolvex::platform::FoldCase;
using tolvex::platform::ToU16;
using tolvex::platform::ToUtf8;
using tolvex::platform::View;

// A caller's buffer of `capacity` bytes holding `initial`, the rest filled with '#' so that
// untouched characters show.
struct Buffer {
  explicit Buffer(USHORT capacity, std::u16string initial = u"") {
    storage.fill(u'#');
    initial.copy(storage.data(), initial.size());
    text = UNICODE_STRING{static_cast<USHORT>(initial.size() * 2), capacity, storage.data()};
  }
  // The counted text, and whether a terminator follows it.
  std::pair<std::u16string, bool> Result() const {
    return {std::u16string(View(text)), storage[text.Length / 2] == u'\0'};
  }
  std::array<WCHAR, 32> storage;
  UNICODE_STRING text;
};

UNICODE_STRING Text(const char16_t* text) {
  UNICODE_STRING result;
  RtlInitUnicodeString(&result, text);
  return result;
}

TEST(UnicodeStringTest, CopyAndAppendFitTheRoomAndTerminateWhenItIsThere) {
  const UNICODE_STRING source = Text(u"ABCDEF");
  for (auto [capacity, copied, terminated] : {std::tuple{14, u"ABCDEF", true},
                                              {12, u"ABCDEF", false},
                                              {9, u"ABCD", false},
                                              {0, u"", false}}) {
    SCOPED_TRACE(capacity);
    Buffer destination(static_cast<USHORT>(capacity), u"xy");
    RtlCopyUnicodeString(&destination.text, &source);
    EXPECT_EQ(destination.Result(), std::pair(std::u16string(copied), terminated));
  }
  Buffer emptied(20, u"xy");
  RtlCopyUnicodeString(&emptied.text, nullptr);
  EXPECT_EQ(emptied.text.Length, 0);

  // An append that does not fit changes nothing.
  for (auto [initial, capacity, appended, status, result, terminated] :
       {std::tuple{u"Dev", 14, u"ice", STATUS_SUCCESS, u"Device", true},
        {u"Dev", 12, u"ice", STATUS_SUCCESS, u"Device", false},
        {u"Dev", 10, u"ice", STATUS_BUFFER_TOO_SMALL, u"Dev", false}}) {
    SCOPED_TRACE(capacity);
    Buffer destination(static_cast<USHORT>(capacity), initial);
    EXPECT_EQ(RtlAppendUnicodeToString(&destination.text, appended), status);
    EXPECT_EQ(destination.Result(), std::pair(std::u16string(result), terminated));
  }
}

// A direct registry query stores each value as its destination says: a string in the caller's
// counted string (its text without the stored terminator, terminated where there is room) or in
// one the query allocates; other data in the room a LONG announces (negative: the data only;
// positive: length, type and data). Too little room stores nothing.
TEST(UnicodeStringTest, DirectRegistryQueryStoresEachValueInItsRoom) {
  constexpr const char16_t* kKey = u"\\Registry\\Machine\\Test";
  const std::vector<UCHAR> ab = {'A', 0, 'B', 0}, abz = {'A', 0, 'B', 0, 0, 0};
  const std::vector<UCHAR> data = {1, 2, 3, 4, 5, 6};
  const struct {
    ULONG type;
    std::vector<UCHAR> value;
    int room;  // strings: the counted string's capacity (0: no buffer); others: the LONG
    NTSTATUS status;
    std::u16string text;  // strings: what the counted string holds after
    bool terminated = false;
  } rows[] = {
      {REG_SZ, abz, 8, STATUS_SUCCESS, u"AB", true},
      {REG_SZ, ab, 6, STATUS_SUCCESS, u"AB", true},
      {REG_SZ, ab, 4, STATUS_SUCCESS, u"AB", false},
      {REG_SZ, abz, 2, STATUS_BUFFER_TOO_SMALL, u""},
      {REG_SZ, abz, 0, STATUS_SUCCESS, u"AB", true},
      {REG_BINARY, data, -6, STATUS_SUCCESS},
      {REG_BINARY, data, -5, STATUS_BUFFER_TOO_SMALL},
      {REG_BINARY, data, 14, STATUS_SUCCESS},
      {REG_BINARY, data, 13, STATUS_BUFFER_TOO_SMALL},
  };
  tolvex::platform::Platform platform;
  tolvex::platform::PlatformScope scope(platform);
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    platform.registry().SetValue(kKey, u"V", row.type, row.value);
    Buffer string(static_cast<USHORT>(row.room > 0 ? row.room : 0));
    if (row.room == 0) string.text = UNICODE_STRING{0, 0, nullptr};
    std::array<UCHAR, 32> bytes{};
    bytes.fill(0xEE);
    const LONG room = row.room;
    std::memcpy(bytes.data(), &room, sizeof(room));
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED,
                const_cast<PWSTR>(u"V"),
                row.type == REG_SZ ? static_cast<PVOID>(&string.text) : bytes.data()};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              row.status);
    if (row.type == REG_SZ) {
      EXPECT_EQ(std::u16string(View(string.text)), row.text);
      const bool terminated = string.text.Length + 2 <= string.text.MaximumLength &&
                              string.text.Buffer[string.text.Length / 2] == u'\0';
      EXPECT_EQ(terminated, row.terminated);
      if (row.room == 0 && string.text.Buffer != nullptr) ExFreePool(string.text.Buffer);
      continue;
    }
    std::vector<UCHAR> stored(bytes.begin(), bytes.begin() + 14);
    std::vector<UCHAR> expected(14, 0xEE);
    std::memcpy(expected.data(), &room, sizeof(room));
    if (row.status == STATUS_SUCCESS && room < 0)
      std::copy(data.begin(), data.end(), expected.begin());
    if (row.status == STATUS_SUCCESS && room > 0) {
      const ULONG header[2] = {6, REG_BINARY};
      std::memcpy(expected.data(), header, sizeof(header));
      std::copy(data.begin(), data.end(), expected.begin() + 8);
    }
    EXPECT_EQ(stored, expected);
  }
  const UCHAR a[8] = {1, 2, 3, 4, 9, 9, 9, 9}, b[8] = {1, 2, 7, 4, 9, 9, 9, 9};
  EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
  EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
}

TEST(TextTest, Utf16AndUtf8RoundTripAndCaseFoldsAsciiLettersOnly) {
  // One character of each encoded length, at the edges: U+007F, U+0080, U+07FF, U+0800,
  // U+FFFF, U+10000 and a clef beyond.
  const std::string text =
      "Lecteur \x7F \xC2\x80 \xDF\xBF \xE0\xA0\x80 \xEF\xBF\xBF \xF0\x90\x80\x80 \xF0\x9D\x84\x9E";
  const std::u16string wide = ToU16(text);
  EXPECT_EQ(wide, u"Lecteur \u007F \u0080 \u07FF \u0800 \uFFFF \U00010000 \U0001D11E");
  EXPECT_EQ(ToUtf8(wide), text);
  EXPECT_EQ(FoldCase(u"\\Device\\SCR_0 \u00C9"), u"\\device\\scr_0 \u00C9");
}

}  // namespace
