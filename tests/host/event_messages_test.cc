// The driver's event-log messages: every id with its text byte for byte, and the one-line form
// the tools print.
#include <gtest/gtest.h>

#include <string>

#include "host/event_messages.h"

namespace tolvex::host {
namespace {

TEST(EventMessages, EachTextByteForByteAndOnOneLine) {
  const struct {
    std::uint32_t id;
    std::string text;
    std::string line;  // as the tools print it
  } messages[] = {
      {0x40040006,
       "The version of the dependency driver smclib.sys is not compatbile to this driver.\n",
       "0x40040006 The version of the dependency driver smclib.sys is not compatbile to this "
       "driver."},
      {0xC0040001, "A new device cannot be created due to an system call failure.\n",
       "0xC0040001 A new device cannot be created due to an system call failure."},
      {0xC0040002, "The system does not have enough memory.\n",
       "0xC0040002 The system does not have enough memory."},
      {0xC0040004, "Internal error: Cannot connect to assigned serial port.\n",
       "0xC0040004 Internal error: Cannot connect to assigned serial port."},
      {0xC0040005,
       "The maximum number of devices has already been created. \nA new device cannot be "
       "created.\n",
       "0xC0040005 The maximum number of devices has already been created. A new device cannot "
       "be created."},
      {0xC0100003, "An internal i/o buffer is too small.\n",
       "0xC0100003 An internal i/o buffer is too small."},
  };
  const std::vector<EventMessage> all = EventMessages();
  ASSERT_EQ(all.size(), std::size(messages));
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto& m = messages[i];
    EXPECT_EQ(all[i].id, m.id) << i;  // in the order of their ids
    const std::optional<EventMessage> found = FindEventMessage(m.id);
    ASSERT_TRUE(found) << std::hex << m.id;
    EXPECT_EQ(found->text, m.text) << std::hex << m.id;
    EXPECT_FALSE(found->name.empty());
    EXPECT_EQ(EventMessageLine(m.id), m.line);
  }
  EXPECT_FALSE(FindEventMessage(0xC0040003));
  EXPECT_EQ(EventMessageLine(0xC0040003), "");
}

}  // namespace
}  // namespace tolvex::host
