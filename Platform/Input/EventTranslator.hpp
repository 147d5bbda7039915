#pragma once

#include "Platform/EventStream/EventPoster.hpp"
#include "WireProtocol/KeyCodes.hpp"
#include "Platform/Input/EvdevKeys.hpp"
#include "Platform/Input/InputBackend.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace quillon::platform {

class Defaults;

// The user defaults the translation reads at each event that needs them.
struct InputSettings {
    wire::CommandKeyRole command = wire::CommandKeyRole::control; // "commandKey": "super" or else control
    double scrollPixelsPerClick = 10;                 // "scrollPixelsPerClick" (> 0)
};

// Reads InputSettings from user defaults (wrong types and out-of-range values read as the
// defaults above).
InputSettings readInputSettings(const Defaults& defaults);

// Turns the sink's events into the verbs of an InputBackend, once for every display server
// (README, "Input on Linux"):
//   - moves and drags: movePointerTo; button events: movePointerTo, then button (left, right,
//     middle); presses and releases are kept balanced per button;
//   - keys: wire key codes through wire::evdevKeyFor; every code is counted, so Command and
//     Control both acting as Control never release each other and a backend sees each code go
//     down once and up once; a key code with no Linux key is dropped and logged once;
//   - F11 pressed with no modifier at all (what the sink's "show desktop" posts):
//     toggleShowDesktop, its release swallowed;
//   - keyboard events carrying a Unicode string: code points for typeText, a surrogate pair
//     split across two events joined, CR, LF and CR LF as one Return key, tab as the Tab key,
//     other control characters, unpaired surrogates and non-characters dropped;
//   - scroll-wheel events (phases and momentum alike): pixels into high-resolution wheel units,
//     kWheelUnitsPerClick per "scrollPixelsPerClick" pixels on both axes, the fraction of a unit
//     kept; at most kMaxClicksPerEvent clicks' worth per event, the excess dropped;
//   - zoom gestures: whole steps of 0.1 magnification, the remainder kept within a pinch;
//   - dock swipes: switchDesktop(+1 right, -1 left) once per swipe, at its end;
//   - openOverview() (the sink's "Mission Control"): the backend's openOverview;
//   - everything else (scroll companions, series begin/end, smart zoom, the gesture halves of
//     dock swipes) has no Linux counterpart and is ignored.
// releaseAll() also undoes Caps Lock and Num Lock toggles made through it, so that a lock key
// pressed on the tablet does not outlive the connection.
//
// One mutex guards the translation state and serialises every call into the backend; a post
// takes it once (and flushes under it outside an EventBatch), canCreate takes nothing.
class EventTranslator : public EventPoster, public OverviewOpener {
public:
    static constexpr int kMaxClicksPerEvent = 100; // absurd deltas must not flood the server
    static constexpr double kZoomPerStep = 0.1;    // magnification per zoom step

    using SettingsSource = std::function<InputSettings()>;

    // `settings` is asked at each key and scroll event; it must be cheap (Defaults checks its
    // file without reading it).
    EventTranslator(std::unique_ptr<InputBackend> backend, SettingsSource settings);
    ~EventTranslator() override;
    EventTranslator(const EventTranslator&) = delete;
    EventTranslator& operator=(const EventTranslator&) = delete;

    bool canCreate(const Event& event) override;
    void post(const Event& event) override;
    void flush() override;
    void releaseAll() override;
    void openOverview() override;

    InputPermission permission() const;
    std::string_view backendName() const;
    // Flushes and waits for the display server (tests, diagnostics, shutdown).
    void sync();
    // Runs `f` with the backend, under the translator's lock (backend statistics for tests
    // and diagnostics).
    template <class F> auto withBackend(F&& f) const {
        std::lock_guard lock(mutex_);
        return f(static_cast<const InputBackend&>(*backend_));
    }

    // Events and characters with no Linux counterpart, dropped here.
    std::uint64_t droppedCount() const;
    // Pixels of each axis not yet handed to the backend as whole wheel units (vertical,
    // horizontal; signs as posted).
    std::pair<double, double> scrollRemainder() const;

private:
    void translate(const Event& e);
    void key(const Event& e);
    void keyCode(int code, bool down);
    void tapKey(int code);
    void text(const std::u16string& units);
    void typeCodePoint(char32_t cp);
    void flushText();
    void scroll(const Event& e);
    void gesture(const Event& e);
    void dockControl(const Event& e);
    void button(int code, bool down, Point at);

    mutable std::mutex mutex_;
    std::unique_ptr<InputBackend> backend_;
    SettingsSource settings_;
    InputSettings current_;

    std::array<std::uint16_t, EvdevKey::count> keyCount_{};
    std::array<bool, 3> buttonDown_{}; // left, right, middle
    std::uint8_t lockToggles_ = 0;     // bit per lock key toggled an odd number of times
    bool showDesktopKeyDown_ = false;

    std::u32string pendingText_; // code points gathered for one typeText call
    char16_t pendingHigh_ = 0;
    bool lastWasCR_ = false;

    double accY_ = 0; // pixels
    double accX_ = 0;
    double zoomAcc_ = 0;
    bool swipeActed_ = false;
    std::uint64_t dropped_ = 0;
};

} // namespace quillon::platform
