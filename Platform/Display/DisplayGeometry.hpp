#pragma once

#include "Platform/Display/Geometry.hpp"

namespace quillon::platform {

// The main display as the host sees it: where the pointer may go and what `helloAck` reports.
// Implementations answer from a cached value (no server round trip per call): the injector reads
// the bounds on every pointer message.
class DisplayGeometry {
public:
    virtual ~DisplayGeometry() = default;
    // Bounds of the main display in global coordinates (points). Zero size when there is no
    // display.
    virtual Rect mainBounds() const = 0;
    // Pixels per point of the main display (what the tablet is told as its scale); 2.0 when
    // there is no display.
    virtual double pixelsPerPoint() const = 0;
};

// A display of fixed geometry, for tests and for hosts without a display.
class FixedDisplayGeometry : public DisplayGeometry {
public:
    explicit FixedDisplayGeometry(Rect bounds = {}, double scale = 2.0)
        : bounds_(bounds), scale_(scale) {}
    Rect mainBounds() const override { return bounds_; }
    double pixelsPerPoint() const override { return scale_; }
    void set(Rect bounds, double scale) {
        bounds_ = bounds;
        scale_ = scale;
    }

private:
    Rect bounds_;
    double scale_;
};

} // namespace quillon::platform
