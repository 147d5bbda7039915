#pragma once

#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Display/DisplaySelection.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon::platform {

// The outputs of a Wayland compositor and the part of them the tablet reaches.
//
// Outputs come from wl_output (name, scale, current mode) and xdg_output (position and size in
// the compositor's layout, in logical points, so a scaled output has its logical size).
// The display setting ("primary", "all" or an output name; see selectDisplay) picks the area;
// Wayland has no primary output, so "primary" is the first output the compositor announced.
//
// Coordinates: global points have their origin at the selected area's top-left corner and are
// layout points, so mainBounds() is {0, 0, width, height} of the area and a global point p is
// layout point (area.x + p.x, area.y + p.y).
//
// A thread with its own connection follows outputs appearing, changing and going away, and
// reads the setting again every `refreshInterval`. Reads never talk to the compositor and are
// thread-safe. Without a compositor (nothing to connect to, connection lost) the answer is zero
// size and scale 2.0 and the thread connects again every `refreshInterval`.
class WaylandDisplayGeometry : public DisplayGeometry {
public:
    struct State {
        bool connected = false;
        std::vector<OutputInfo> outputs;
        Rect area;    // the selected area, in layout points
        Rect desktop; // the bounding box of all outputs
        double scale = 2.0;
        std::string note;             // why the setting was not followed as written
        std::uint64_t generation = 0; // grows with every change
    };

    // `display`: a socket name or absolute path as WAYLAND_DISPLAY takes it; empty: the
    // environment's. `displaySetting` empty: always "primary".
    explicit WaylandDisplayGeometry(
        std::string display = {}, std::function<std::string()> displaySetting = {},
        std::chrono::milliseconds refreshInterval = std::chrono::seconds(2));
    ~WaylandDisplayGeometry() override;
    WaylandDisplayGeometry(const WaylandDisplayGeometry&) = delete;
    WaylandDisplayGeometry& operator=(const WaylandDisplayGeometry&) = delete;

    Rect mainBounds() const override;
    double pixelsPerPoint() const override;
    State state() const;

    // Waits until a state newer than `generation` is published or the timeout passes; the
    // state then (for tests that change outputs).
    State waitForChange(std::uint64_t generation, std::chrono::milliseconds timeout) const;

private:
    struct Connection;
    void run();
    void publish(State s);
    bool stopping() const;

    std::string display_;
    std::function<std::string()> setting_;
    std::chrono::milliseconds retry_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    State state_;
    bool stopping_ = false;
    int wakeFd_ = -1; // eventfd that interrupts the thread's poll()
    std::thread thread_;
};

} // namespace quillon::platform
