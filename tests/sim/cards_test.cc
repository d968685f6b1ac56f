// Every card model: a valid ATR, and the application served over its protocol.
#include <gtest/gtest.h>

#include "sim/application.h"
#include "sim/atr.h"
#include "sim/t1_block.h"
#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

TEST(Cards, EveryModelServesTheApplication) {
  Bytes select_aid = {0x00, 0xA4, 0x04, 0x00, 0x07};
  select_aid.insert(select_aid.end(), Application::Aid().begin(), Application::Aid().end());
  for (std::string_view model : CardModels()) {
    SCOPED_TRACE(std::string(model));
    SimHost host;
    ASSERT_TRUE(host.sim().InsertCard(model, false));
    EXPECT_EQ(host.sim().card_model(), model);
    const Reply atr = host.Reset();
    const AtrInfo info = ParseAtr(atr.card);
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(atr.block_ends, 1);
    if (info.default_protocol() == 0) {
      const Reply header = host.ToCard(Bytes(select_aid.begin(), select_aid.begin() + 5));
      EXPECT_EQ(header.block_ends, 0);
      Reply reply;
      for (std::size_t i = 5; i < select_aid.size(); ++i) reply = host.ToCard({select_aid[i]});
      EXPECT_EQ(Bytes(reply.card.end() - 2, reply.card.end()), (Bytes{0x90, 0x00}));
    } else {
      host.edc = info.crc ? t1::Edc::kCrc : t1::Edc::kLrc;
      EXPECT_EQ(host.Exchange({0x00, 0x00, select_aid}).inf, (Bytes{0x90, 0x00}));
    }
  }
  EXPECT_EQ(MakeCard("t2"), nullptr);
}

}  // namespace
}  // namespace tolvex::sim::testing
