#include "Quillon/Transport/HelloAck.hpp"

#include "Platform/Display/DisplayGeometry.hpp"

#include <limits>

namespace quillon {

namespace {

std::uint32_t truncatedDimension(double value) {
    if (!(value > 0)) { // negative, zero and NaN
        return 0;
    }
    if (value >= 4294967295.0) {
        return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(value);
}

} // namespace

wire::cm::HelloAck helloAckFor(const platform::DisplayGeometry* display) {
    if (display == nullptr) {
        return {0, 0, 2.0F};
    }
    const auto bounds = display->mainBounds();
    return {truncatedDimension(bounds.width), truncatedDimension(bounds.height),
            static_cast<float>(display->pixelsPerPoint())};
}

} // namespace quillon
