// What a card says, as the tolvex command describes it: an ATR described for people, and the
// answers to one APDU with the GET RESPONSE and Le corrections sent for them under T=0.
//
// The input gives an ATR (a length, then its bytes), a command (the same) and then the card's
// answers one after another: a status byte (FF: the transmit failed), a length and the bytes.
// What must hold: the description stays within the ATR's limits, says a parameter was given
// only with the byte that gave it, and has rates only for a valid ATR; the exchanges stop
// within the bound, the data gathered is never more than the card sent, success comes with the
// last answer's status word, every status word has words and any data a dump.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "host/apdu.h"
#include "host/atr.h"
#include "input.h"

using tolvex::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace host = tolvex::host;
  tolvex::fuzz::Input input(data, size);
  const std::vector<std::uint8_t> atr = input.Bytes(input.Byte() % 40);
  const host::AtrDescription d = host::DescribeAtr(atr);
  Check(d.interface_bytes.size() <= 33 && d.historical.size() <= 15);
  Check(d.valid == (d.f != 0 && d.d != 0 && d.bit_rate != 0 && d.reader_bit_rate != 0));
  Check(d.valid || d.parameters.empty());
  for (const host::AtrParameter& p : d.parameters) Check(p.given == !p.source.empty());
  Check(!d.tck.present || atr.size() >= 3);

  const std::vector<std::uint8_t> command = input.Bytes(input.Byte() % 12);
  std::size_t answered = 0;  // bytes the card sent
  const host::ApduResult result = host::Transceive(
      [&input,
       &answered](std::span<const std::uint8_t>) -> host::Result<std::vector<std::uint8_t>> {
        if (input.Byte() == 0xFF) return {host::status::kIoTimeout, {}};
        std::vector<std::uint8_t> answer = input.Bytes(input.Word() % 260);
        answered += answer.size();
        return {host::status::kSuccess, answer};
      },
      command, input.Byte() % 2 == 0);
  Check(!result.exchanges.empty() &&
        result.exchanges.size() <= std::size_t{host::kMaxAutomaticExchanges} + 1);
  Check(result.data.size() <= answered);
  if (result.status == host::status::kSuccess) {
    const std::vector<std::uint8_t>& last = result.exchanges.back().response;
    Check(last.size() >= 2 && last[last.size() - 2] == result.sw1 && last.back() == result.sw2);
  }
  Check(!host::StatusWordMeaning(result.sw1, result.sw2).empty());
  Check(host::HexDump(result.data).empty() == result.data.empty());
  return 0;
}
