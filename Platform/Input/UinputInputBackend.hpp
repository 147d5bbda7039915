#pragma once

#include "Platform/Input/InputBackend.hpp"
#include "Platform/Input/SessionKeyboardLayout.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillon::platform {

// Where absolute moves land: the desktop the absolute device spans (every monitor's bounding
// box, the way compositors and the X server map an absolute pointer) and the selected area
// inside it, both in the session's own units (X root pixels, Wayland layout points); `scale`
// is how many of those units one point of the tablet's area is.
struct PointerSpace {
    Rect desktop;
    Rect area;
    double scale = 1;
};

// Input through the kernel (/dev/uinput) for any session: the devices look like hardware to the
// session (libinput under Wayland compositors and the X server, the console), so they work
// where no display server protocol for injection exists.
//
// Devices, made once and destroyed with the backend (see UinputDevices):
//   - "Quillon pointer": relative motion, buttons, and both wheels in high-resolution units
//     (REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES: 120 a click) with whole clicks also as
//     REL_WHEEL/REL_HWHEEL for readers without high resolution. Relative motion goes through
//     the session's pointer acceleration like any mouse's.
//   - "Quillon absolute pointer": movePointerTo, the point mapped into `pointerSpace()`.
//   - "Quillon keyboard": keys by evdev code; the session's keymap gives them meaning.
// Buttons go through the device that moved last, so that a drag's press, motion and release
// reach the session in order (events of one device are read in order; two devices are read
// in the order they became readable).
//
// Text: characters of the session's layout (`layout()`, read again when older than
// `layoutMaxAge`) are typed as keys, Shift where needed, held modifiers lifted and Caps Lock
// (as the session shows it on the keyboard's LED) switched off around them. A text with a
// character the layout lacks goes whole through `paste` (the session's clipboard) and
// Control+V; without one, only the characters the layout has are typed and the diagnostics log
// says once per text how many were dropped. Keys are paced (`tapsPerBurst` taps, then
// `burstPause`) because the kernel keeps only a few dozen events for a reader that is behind.
//
// Permission: the devices exist. Without them (no /dev/uinput, no write access) every verb is
// dropped and counted, the reason says what to do, and creating them is tried again at most
// every `retryInterval`. A write the kernel refuses gives the devices up at the next verb:
// destroying a device makes the kernel release whatever it held, as it does when the host
// exits or crashes (the descriptor closes).
class UinputInputBackend : public InputBackend {
public:
    struct Options {
        std::string devicePath = "/dev/uinput";
        // The desktop and area for absolute moves; nothing: absolute moves are dropped.
        std::function<std::optional<PointerSpace>()> pointerSpace;
        // The session's layout; nothing: not known now (asked again at the next text).
        std::function<std::optional<LayoutIndex>()> layout;
        std::chrono::milliseconds layoutMaxAge = std::chrono::seconds(5);
        // Makes the text the session's clipboard (returns once a paste would read it); absent
        // when the session has no clipboard Quillon can set.
        std::function<bool(const std::string& utf8)> paste;
        // The configured overview combination ("Super", "Super+Tab"), asked at each opening.
        std::function<std::string()> overviewCombination;
        int tapsPerBurst = 8;
        std::chrono::milliseconds burstPause{8};
        std::chrono::milliseconds retryInterval = std::chrono::seconds(3);
    };

    explicit UinputInputBackend(Options options);
    ~UinputInputBackend() override;
    UinputInputBackend(const UinputInputBackend&) = delete;
    UinputInputBackend& operator=(const UinputInputBackend&) = delete;

    std::string_view name() const override { return "uinput"; }
    InputPermission permission() const override;

    void movePointerTo(Point to) override;
    void movePointerBy(double dx, double dy) override;
    void button(int button, bool down) override;
    void key(int evdevCode, bool down) override;
    void typeText(std::u32string_view text) override;
    void wheel(int vertical, int horizontal) override;
    void zoom(int steps) override;
    // No workspace verbs reach a session through devices alone: dropped and counted.
    void switchDesktop(int delta) override;
    void toggleShowDesktop() override;
    void openOverview() override;
    void releaseAll() override;
    void flush() override;

    struct Stats {
        std::uint64_t dropped = 0; // verbs without devices, characters without a key or paste
        std::uint64_t pastes = 0;  // texts that went through the clipboard
    };
    Stats stats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
