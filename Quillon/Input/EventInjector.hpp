#pragma once

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Input/InputBackend.hpp"
#include "Quillon/Input/GestureMapper.hpp"
#include "Quillon/Input/HeldInputs.hpp"
#include "Quillon/Input/InputGate.hpp"
#include "Quillon/Input/ScrollMomentum.hpp"
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/KeyCodes.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace quillon {

// The one translation of input: each decoded control message becomes calls of the session's
// InputBackend (Linux verbs: moves, buttons, evdev keys, text, wheel units, desktop actions).
// The injector keeps everything that outlives one message: its own cursor (never read back
// from the system), what the tablet holds (HeldInputs), the scroll series and its momentum, the
// remainders of wheel and zoom amounts, and a line break split across two texts.
//
//   pointerAbsolute/Relative  the cursor on the main display's bounds (clamped), movePointerTo
//   mouseButton               movePointerTo the cursor, then the button, balanced per button
//   multiClick n              n press/release pairs of the button (a held one is let go)
//   keyCombo                  the modifiers' keys (Command as Control or Super), the key, the
//                             modifiers released; plain F11 toggles showing the desktop; a key
//                             code with no Linux key is dropped and logged once
//   setStickyModifiers        the modifiers' keys pressed or released as the latch changes
//   textInput                 typeText in runs of at most 20 characters, held modifier keys
//                             lifted around it, CR/LF/CRLF as Return, tab as Tab
//   scroll                    gain and inversion ("scrollGain", "invertScrollX/Y"), pixels into
//                             wheel units ("scrollPixelsPerClick" per click), the last four
//                             deltas give momentum after `ended` ("momentumEnabled",
//                             "momentumDecay"), ticked at 120 Hz on the host's scheduler
//   magnify                   Control + wheel, one click per 0.1 of magnification
//   gesture                   three-finger swipes: the overview's combination ("overviewKey"),
//                             Control+Down, workspace left/right; showDesktop; pinches through
//                             the gesture mapper ("disablePinch"); smart zoom: nothing
//
// Concurrency: one mutex guards all of it and is held across the backend calls, so each
// message's verbs reach the display server whole, in order, and never interleave with a
// momentum tick or releaseAll(). A pointer move costs that one lock and no allocation.
// Backend calls of one burst are flushed once (Flush::later, then a Flush::now or flush()).
// The lock gate stops typing between runs, momentum at its next tick and the probes; releases
// are never gated.
class EventInjector : public std::enable_shared_from_this<EventInjector> {
public:
    struct Services {
        std::shared_ptr<platform::InputBackend> backend;
        // The main display's bounds, read fresh for every pointer message.
        std::shared_ptr<const platform::DisplayGeometry> geometry;
        // The settings above, read at each message that needs them; must outlive the injector.
        platform::Defaults& defaults;
        GestureMapper gestureMapper = GestureMapper::defaultMapper();
        // Closed while the screen is locked; null: always open.
        std::shared_ptr<const InputGate> gate;
        // Runs momentum ticks and the probes' steps: the thread is the host's choice, and so is
        // its lifetime (held weakly: a queue must never be destroyed by the last reference a
        // handler on its own thread drops). Without it there is no momentum and no probe.
        std::weak_ptr<platform::Scheduler> scheduler;
        // Monotonic time for the momentum; steady_clock when empty.
        std::function<std::chrono::nanoseconds()> clock;
    };

    enum class Flush : std::uint8_t { now, later };

    // The cursor starts at the centre of the geometry's bounds.
    static std::shared_ptr<EventInjector> create(Services services);
    ~EventInjector();
    EventInjector(const EventInjector&) = delete;
    EventInjector& operator=(const EventInjector&) = delete;

    // Applies one message. Never fails. Flush::later leaves the backend's buffer for a later
    // message of the same burst (or flush()) to push.
    void handle(const wire::ControlMessage& message, Flush flush = Flush::now);
    void flush();
    // Lets go of everything held (buttons, keys, sticky modifiers, lock-key toggles) and stops
    // momentum: a device's close, the screen lock, exit. The cursor stays.
    void releaseAll();

    platform::Point currentCursor() const;
    wire::KeyModifiers stickyModifiers() const;
    bool holdsNothing() const;
    bool momentumRunning() const;

    // Scroll self-test, run as steps on the scheduler: began, 20 changes of -3 points (8 ms
    // apart when `fast`, else 24 ms), ended; then `completion` (on the scheduler's thread).
    // Returns at once.
    void probeScroll(bool fast, std::function<void()> completion = {});
    // A fixed zoom gesture (begin, 12 steps of 0.08 16 ms apart, end) on the scheduler.
    void probeMagnify();
    // (vertical points actually scrolled, the largest gain used) since the last reset.
    std::pair<double, double> scrollStats() const;
    void resetScrollStats();

    // The backend's answer, asked under the injector's lock (a backend's connection changes
    // only there).
    platform::InputPermission permission() const;
    std::string_view backendName() const { return backend_.name(); }

    // The diagnostics line written when a message of the application catalog reaches the
    // injector (the coordinator should have routed it elsewhere).
    static std::string misroutedLine(const wire::ControlMessage& message);

private:
    explicit EventInjector(Services services);

    // The settings the translation reads ("commandKey", "scrollGain", ...), read again only
    // when the defaults changed (a message costs no lookup and no lock of theirs).
    struct Settings {
        wire::CommandKeyRole commandKey = wire::CommandKeyRole::control;
        double pixelsPerClick = 10;
        double gain = 3.0;
        double decay = 0.955;
        bool invertX = false;
        bool invertY = false;
        bool momentumEnabled = true;
        bool disablePinch = false;
        std::string overviewKey = "Super";
    };
    struct WheelAxis {
        double pixels = 0; // not yet a whole wheel unit
    };

    void apply(const wire::ControlMessage& message);
    void followConnection();
    void pointer(platform::Point to);
    void mouseButton(wire::MouseButton button, bool down);
    void multiClick(wire::MouseButton button, int count);
    void keyCombo(std::uint16_t keyCode, wire::KeyModifiers modifiers);
    void setModifiers(wire::KeyModifiers modifiers, bool down, wire::CommandKeyRole role);
    void setSticky(wire::KeyModifiers next);
    void pressKey(int code);
    void releaseKey(int code);
    void tapCombination(const std::vector<int>& keys);
    void text(std::string_view utf8);
    void scroll(double dx, double dy, wire::ScrollPhase phase);
    void wheelPixels(double vertical, double horizontal);
    void magnify(double scale, wire::ScrollPhase phase);
    void zoomSteps(int steps);
    void gesture(wire::TrackpadGesture gesture);
    void desktop(platform::DesktopAction action);
    void openOverview();
    void startMomentum();
    void stopMomentum();
    void momentumTick(std::uint64_t generation);
    std::chrono::nanoseconds now() const;
    const Settings& settings();

    Services services_;
    platform::InputBackend& backend_;

    mutable std::mutex lock_;
    platform::Point cursor_;
    HeldInputs held_;
    std::uint64_t connections_ = 0; // the backend's count when held_ was last valid
    ScrollMomentum momentum_;
    std::shared_ptr<platform::TimerHandle> momentumTimer_;
    WheelAxis wheelY_;
    WheelAxis wheelX_;
    double zoomRemainder_ = 0;
    bool lastWasCR_ = false;
    Settings settings_;
    std::uint64_t settingsGeneration_ = UINT64_MAX; // none read yet
    double totalScrolledY_ = 0;
    double peakGain_ = 0;
};

} // namespace quillon
