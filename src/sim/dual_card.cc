#include "sim/dual_card.h"

namespace tolvex::sim {

Bytes DualAtr(const DualCardOptions& options) {
  Bytes atr{0x3B,
            static_cast<std::uint8_t>(0x90 | (options.historical.size() & 0x0F)),
            options.ta1,
            0x80,
            0x31,
            options.ifsc,
            static_cast<std::uint8_t>(options.bwi << 4 | (options.cwi & 0x0F))};
  atr.insert(atr.end(), options.historical.begin(), options.historical.end());
  return WithTck(std::move(atr));
}

std::unique_ptr<Card> MakeDualCard(DualCardOptions options) {
  std::vector<std::unique_ptr<ProtocolEngine>> engines;
  engines.push_back(MakeT0Engine(options.t0));
  engines.push_back(MakeT1Engine());
  Bytes atr = options.atr ? *options.atr : DualAtr(options);
  return std::make_unique<IsoCard>(
      IsoCardConfig{std::move(options.model), std::move(atr), options.pts, options.seed},
      std::move(engines));
}

}  // namespace tolvex::sim
