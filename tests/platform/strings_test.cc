// Counted strings, memory helpers, UTF-16 helpers and status names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/platform.h"

namespace {

using tolvex::platform::FoldCase;
using tolvex::platform::ToU16;
using tolvex::platform::ToUtf8;
using tolvex::platform::View;

// A caller's buffer of `capacity` characters, filled with '#' so that untouched characters show.
struct Buffer {
  explicit Buffer(USHORT capacity_bytes, const char16_t* initial = u"") {
    storage.fill(u'#');
    text = UNICODE_STRING{0, capacity_bytes, storage.data()};
    for (size_t i = 0; initial[i] != 0; ++i) storage[i] = initial[i];
    text.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(initial) * 2);
  }
  std::array<WCHAR, 32> storage;
  UNICODE_STRING text;
};

TEST(UnicodeStringTest, InitCountsBytesWithoutTheTerminator) {
  const char16_t* source = u"Tolvex";
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, source);
  EXPECT_EQ(text.Length, 12);
  EXPECT_EQ(text.MaximumLength, 14);
  EXPECT_EQ(text.Buffer, source);

  RtlInitUnicodeString(&text, u"");
  EXPECT_EQ(text.Length, 0);
  EXPECT_EQ(text.MaximumLength, 2);

  RtlInitUnicodeString(&text, nullptr);
  EXPECT_EQ(text.Length, 0);
  EXPECT_EQ(text.MaximumLength, 0);
  EXPECT_EQ(text.Buffer, nullptr);
}

struct CopyCase {
  USHORT capacity;
  std::u16string copied;
  bool terminated;
};

TEST(UnicodeStringTest, CopyTruncatesToTheRoomAndTerminatesWhenItCan) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"ABCDEF");
  for (const CopyCase& c : {CopyCase{20, u"ABCDEF", true}, CopyCase{14, u"ABCDEF", true},
                            CopyCase{12, u"ABCDEF", false}, CopyCase{8, u"ABCD", false},
                            CopyCase{9, u"ABCD", false}, CopyCase{0, u"", false}}) {
    SCOPED_TRACE(c.capacity);
    Buffer destination(c.capacity);
    RtlCopyUnicodeString(&destination.text, &source);
    EXPECT_EQ(View(destination.text), c.copied);
    EXPECT_EQ(destination.storage[c.copied.size()], c.terminated ? u'\0' : u'#');
  }
}

TEST(UnicodeStringTest, CopyOfNothingEmptiesTheDestination) {
  Buffer destination(20, u"xy");
  RtlCopyUnicodeString(&destination.text, nullptr);
  EXPECT_EQ(destination.text.Length, 0);
}

struct AppendCase {
  const char16_t* initial;
  USHORT capacity;
  const char16_t* appended;
  NTSTATUS status;
  std::u16string result;
  bool terminated;
};

TEST(UnicodeStringTest, AppendFitsOrChangesNothing) {
  for (const AppendCase& c : {
           AppendCase{u"Dev", 16, u"ice", STATUS_SUCCESS, u"Device", true},
           AppendCase{u"Dev", 12, u"ice", STATUS_SUCCESS, u"Device", false},
           AppendCase{u"Dev", 10, u"ice", STATUS_BUFFER_TOO_SMALL, u"Dev", false},
           AppendCase{u"", 4, u"ab", STATUS_SUCCESS, u"ab", false},
       }) {
    SCOPED_TRACE(std::to_string(c.capacity) + " bytes");
    Buffer destination(c.capacity, c.initial);
    EXPECT_EQ(RtlAppendUnicodeToString(&destination.text, c.appended), c.status);
    EXPECT_EQ(View(destination.text), c.result);
    EXPECT_EQ(destination.storage[c.result.size()], c.terminated ? u'\0' : u'#');
  }
}

TEST(UnicodeStringTest, AppendStringCopiesCountedCharactersOnly) {
  Buffer destination(20, u"COM");
  UNICODE_STRING digits{2, 6, const_cast<PWSTR>(u"12")};  // counts "1" only
  ASSERT_EQ(RtlAppendUnicodeStringToString(&destination.text, &digits), STATUS_SUCCESS);
  EXPECT_EQ(View(destination.text), u"COM1");
}

struct EqualCase {
  const char16_t* a;
  const char16_t* b;
  bool case_insensitive;
  bool equal;
};

TEST(UnicodeStringTest, EqualComparesTheCountedTextWithOrWithoutCase) {
  for (const EqualCase& c :
       {EqualCase{u"Tolvex", u"Tolvex", false, true}, EqualCase{u"Tolvex", u"TOLVEX", false, false},
        EqualCase{u"Tolvex", u"TOLVEX", true, true}, EqualCase{u"Tolvex", u"Tolve", true, false},
        EqualCase{u"", u"", false, true}}) {
    SCOPED_TRACE(ToUtf8(c.a) + " / " + ToUtf8(c.b));
    UNICODE_STRING a;
    UNICODE_STRING b;
    RtlInitUnicodeString(&a, c.a);
    RtlInitUnicodeString(&b, c.b);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.case_insensitive), c.equal ? TRUE : FALSE);
  }
  UNICODE_STRING whole;
  RtlInitUnicodeString(&whole, u"ABCD");
  UNICODE_STRING prefix = whole;
  prefix.Length = 4;
  UNICODE_STRING ab;
  RtlInitUnicodeString(&ab, u"AB");
  EXPECT_EQ(RtlEqualUnicodeString(&prefix, &ab, FALSE), TRUE);
}

TEST(MemoryTest, CompareMemoryCountsTheBytesThatAgreeFromTheStart) {
  const UCHAR a[] = {1, 2, 3, 4, 5};
  const UCHAR b[] = {1, 2, 3, 9, 5};
  const UCHAR c[] = {9, 2, 3, 4, 5};
  EXPECT_EQ(RtlCompareMemory(a, a, sizeof(a)), sizeof(a));
  EXPECT_EQ(RtlCompareMemory(a, b, sizeof(a)), 3u);
  EXPECT_EQ(RtlCompareMemory(a, c, sizeof(a)), 0u);
  EXPECT_EQ(RtlCompareMemory(a, b, 2), 2u);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST(TextTest, Utf16AndUtf8RoundTrip) {
  const std::string text = "Lecteur \xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E";  // é € and a clef
  const std::u16string wide = ToU16(text);
  EXPECT_EQ(wide, u"Lecteur \u00E9 \u20AC \U0001D11E");
  EXPECT_EQ(ToUtf8(wide), text);
}

TEST(TextTest, FoldCaseLowersAsciiLettersOnly) {
  EXPECT_EQ(FoldCase(u"\\Device\\SCR_0 \u00C9"), u"\\device\\scr_0 \u00C9");
}

// --- Status values -------------------------------------------------------------------------

struct StatusCase {
  ULONG value;
  const char* name;
  const char* text;
};

TEST(StatusTest, KnownStatusesHaveTheirNameAndWords) {
  for (const StatusCase& c : {
           StatusCase{0x00000000, "STATUS_SUCCESS", "success"},
           StatusCase{0x00000102, "STATUS_TIMEOUT", "the wait ran out"},
           StatusCase{0xC0000024, "STATUS_OBJECT_TYPE_MISMATCH", "the value has the wrong type"},
           StatusCase{0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND", "no object has that name"},
           StatusCase{0xC0000035, "STATUS_OBJECT_NAME_COLLISION", "the name is already taken"},
           StatusCase{0xC00000B5, "STATUS_IO_TIMEOUT", "the device did not answer in time"},
           StatusCase{0xC0000120, "STATUS_CANCELLED", "the request was cancelled"},
       }) {
    const NTSTATUS status = TOLVEX_STATUS(c.value);
    EXPECT_STREQ(NtStatusName(status), c.name);
    EXPECT_STREQ(NtStatusText(status), c.text);
  }
}

TEST(StatusTest, UnknownStatusHasNoNameButPlainWords) {
  EXPECT_EQ(NtStatusName(TOLVEX_STATUS(0x00000001)), nullptr);
  EXPECT_STREQ(NtStatusText(TOLVEX_STATUS(0x00000001)), "success");
  EXPECT_EQ(NtStatusName(TOLVEX_STATUS(0xC0000999)), nullptr);
  EXPECT_STREQ(NtStatusText(TOLVEX_STATUS(0xC0000999)), "the operation failed");
}

TEST(StatusTest, WarningsAreNeitherSuccessNorError) {
  EXPECT_TRUE(NT_SUCCESS(STATUS_PENDING));
  EXPECT_FALSE(NT_ERROR(STATUS_PENDING));
  EXPECT_FALSE(NT_SUCCESS(STATUS_BUFFER_OVERFLOW));
  EXPECT_FALSE(NT_ERROR(STATUS_BUFFER_OVERFLOW));
  EXPECT_FALSE(NT_SUCCESS(STATUS_CANCELLED));
  EXPECT_TRUE(NT_ERROR(STATUS_CANCELLED));
}

}  // namespace
