// The far ends every exchange has without a PBX: an echo (the visitor hears their own voice after a short
// delay, the classic line test) and a steady tone.
#pragma once

#include <memory>

#include "exchange/farend/far_end.h"

namespace exchange {

// Target text: the delay in milliseconds (0 to 2000); empty means `default_delay_ms`.
std::unique_ptr<FarEndFactory> MakeEchoFarEndFactory(int default_delay_ms = 200);

// Target text: the frequency in Hz (50 to 3900); empty means `default_hz`. `block_limit` > 0 ends the tone
// after that many blocks (the far end then stays silent).
std::unique_ptr<FarEndFactory> MakeToneFarEndFactory(double default_hz = 1000.0, int block_limit = 0);

}  // namespace exchange
