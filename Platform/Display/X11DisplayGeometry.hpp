#pragma once

#include "Platform/Display/DisplayGeometry.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon::platform {

// The main display of an X server, as the host reports and uses it.
//
// Main display: what the `display` setting picks among the RandR monitors (see
// selectDisplay(): "primary" is the RandR primary monitor, else the monitor that holds the root
// origin (0,0), else the first; "all" is the bounding box of every monitor; a monitor name is
// that monitor, an unknown name the primary with one diagnostics line). A server without
// monitors: the whole root window. Scale: "Xft.dpi" of the root window's resource database
// divided by 96, else 1.0.
//
// Coordinates: global points have their origin at the main display's top-left corner, and one
// point is `scale` pixels, as on a HiDPI desktop whose toolkits scale by Xft.dpi. So
// mainBounds() is {0, 0, pixel width / scale, pixel height / scale}, and a global point p is
// root pixel (originX + p.x * scale, originY + p.y * scale): see toRoot().
//
// The values are read once at construction and then kept up to date by a small thread with
// its own connection that wakes on RandR changes (monitors, outputs, screen size) and on
// changes of the resource database, and looks again every `refreshInterval` (monitors that
// clients define with RandR change without an event). Reads never talk to the server, take no lock
// and are thread-safe. Without a display (no DISPLAY, server unreachable, connection lost) the
// answer is zero size and scale 2.0; the thread tries to connect again every `refreshInterval`.
class X11DisplayGeometry : public DisplayGeometry {
public:
    struct Monitor {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        bool primary = false;
    };

    // A consistent snapshot of everything known about the main display.
    struct State {
        bool connected = false;
        int originX = 0; // main display's top-left in root pixels
        int originY = 0;
        int pixelWidth = 0;
        int pixelHeight = 0;
        double scale = 2.0;
        std::uint64_t generation = 0; // grows with every refresh that changed something
    };

    // `display` empty: $DISPLAY at construction. `displaySetting` is asked on every refresh,
    // so a changed setting takes effect within `refreshInterval`; empty means "primary".
    explicit X11DisplayGeometry(std::string display = {},
                                std::chrono::milliseconds refreshInterval = std::chrono::seconds(2),
                                std::function<std::string()> displaySetting = {});
    ~X11DisplayGeometry() override;
    X11DisplayGeometry(const X11DisplayGeometry&) = delete;
    X11DisplayGeometry& operator=(const X11DisplayGeometry&) = delete;

    Rect mainBounds() const override;
    double pixelsPerPoint() const override;
    State state() const;
    // Why the setting could not be followed as written (empty when it was).
    std::string selectionNote() const;

    // Root pixel for a global point of `s` (rounded to the nearest pixel, clamped to the
    // 16-bit range X coordinates have; NaN lands on the main display's origin).
    static void toRoot(const State& s, double x, double y, int& rootX, int& rootY);

    // The main display among `monitors` (index), or -1 when there are none.
    static int chooseMain(const std::vector<Monitor>& monitors);
    // "Xft.dpi" / 96 from a resource database text, or 1.0 when absent, not a number, or giving a
    // scale outside 0.25...16.
    static double scaleFromResources(const char* resourceManager);

private:
    void run();

    std::string display_;
    std::chrono::milliseconds retry_;
    std::function<std::string()> setting_;
    std::string note_; // under mutex_
    // What readers see, written only by the refresh thread (under mutex_), read without a lock.
    struct Published {
        std::atomic<std::uint64_t> sequence{0};
        std::atomic<bool> connected{false};
        std::atomic<int> originX{0};
        std::atomic<int> originY{0};
        std::atomic<int> pixelWidth{0};
        std::atomic<int> pixelHeight{0};
        std::atomic<double> scale{2.0};
        std::atomic<std::uint64_t> generation{0};
        void store(const State& s);
    };

    mutable std::mutex mutex_;
    State state_; // the thread's own copy, and the constructor's wait
    Published published_;
    std::condition_variable stopCv_;
    bool stopping_ = false;
    int wakeFd_ = -1; // eventfd that interrupts the thread's poll()
    std::thread thread_;
};

} // namespace quillon::platform
