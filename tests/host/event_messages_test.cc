// The driver's event-log messages: found by their ids, in order, and the one-line form the tools
// print. One text is checked byte for byte: the one whose line break sits inside it.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <set>
#include <string>

#include "host/event_messages.h"

namespace tolvex::host {
namespace {

TEST(EventMessages, FoundByIdInOrderAndPrintedOnOneLine) {
  const std::vector<EventMessage> all = EventMessages();
  ASSERT_FALSE(all.empty());
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < all.size(); ++i) {
    const EventMessage& m = all[i];
    EXPECT_TRUE(i == 0 || all[i - 1].id < m.id) << "in the order of their ids: " << i;
    const std::optional<EventMessage> found = FindEventMessage(m.id);
    ASSERT_TRUE(found) << std::hex << m.id;
    EXPECT_EQ(found->text, m.text);
    EXPECT_TRUE(names.insert(m.name).second && !m.name.empty()) << m.name;
    ASSERT_TRUE(m.text.ends_with('\n')) << std::hex << m.id;
    const std::string line = EventMessageLine(m.id);
    EXPECT_TRUE(line.starts_with(fmt::format("0x{:08X} ", m.id))) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }
  EXPECT_EQ(FindEventMessage(event::kTooManyDevices)->text,
            "The maximum number of devices has already been created. \n"
            "A new device cannot be created.\n");
  EXPECT_EQ(EventMessageLine(event::kTooManyDevices),
            "0xC0040005 The maximum number of devices has already been created. A new device "
            "cannot be created.");
  EXPECT_FALSE(FindEventMessage(0xC0040003));
  EXPECT_EQ(EventMessageLine(0xC0040003), "");
}

}  // namespace
}  // namespace tolvex::host
