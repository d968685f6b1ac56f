// Counted strings and UTF-16 helpers.
#include <gtest/gtest.h>

#include <array>
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
