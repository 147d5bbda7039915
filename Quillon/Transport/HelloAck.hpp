#pragma once

#include "WireProtocol/ControlMessage.hpp"

namespace quillon::platform {
class DisplayGeometry;
}

namespace quillon {

// The helloAck both transports answer an admitted hello with: the main display's size in whole
// points (negative, NaN and zero sizes are 0; a size beyond the field's range is its largest
// value) and its scale. No display: 0 x 0 at scale 2.0, which the tablet takes as "no screen".
wire::cm::HelloAck helloAckFor(const platform::DisplayGeometry* display);

} // namespace quillon
