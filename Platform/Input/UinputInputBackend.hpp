#pragma once

#include "Platform/Input/InputBackend.hpp"
#include "Platform/Input/Wayland/XkbLayoutIndex.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillon::platform {

class SessionClipboard;

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
// A button goes through the device that moved last, so that a drag's press, motion and release
// reach the session in order (events of one device are read in order; two devices are read in
// the order they became readable), and is released on the device it was pressed on. That, the
// motion below one unit and the rest of a wheel click are all this keeps: what is held is the
// injector's (InputBackend's contract).
//
// Text: characters of the session's layout (`layout()`, read again when older than
// `layoutMaxAge`) are typed as keys, Shift where needed, Caps Lock (as the session shows it on
// the keyboard's LED) switched off around them. A text with a character the layout lacks goes
// whole through `clipboard` and Control+V (see LayoutText.hpp); without one, only the
// characters the layout has are typed and the diagnostics log says once per text how many were
// dropped; keys typed after a paste wait until the paste has been read, so they arrive after
// it. Keys are paced (`tapsPerBurst` taps, then `burstPause`) because the kernel keeps only
// a few dozen events for a reader that is behind.
//
// Permission: the devices exist. Without them (no /dev/uinput, no write access) every verb is
// dropped and counted, the reason says what to do, and making them is tried again at most
// every `retryInterval`. A write the kernel refuses gives the devices up at the next verb:
// destroying a device makes the kernel release whatever it held (as when the host exits or
// crashes and the descriptor closes), and connections() counts the new devices, so the injector
// forgets what the old ones held.
class UinputInputBackend : public InputBackend {
public:
    struct Options {
        std::string devicePath = "/dev/uinput";
        // The desktop and area for absolute moves; nothing: absolute moves are dropped.
        std::function<std::optional<PointerSpace>()> pointerSpace;
        // The session's layout; nothing: not known now (asked again at the next text).
        std::function<std::optional<LayoutIndex>()> layout;
        std::chrono::milliseconds layoutMaxAge = std::chrono::seconds(5);
        // The session's clipboard for text beyond the layout; null when it offers none.
        std::shared_ptr<SessionClipboard> clipboard;
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
    // How many times the devices were made.
    std::uint64_t connections() const override;

    void movePointerTo(Point to) override;
    void movePointerBy(double dx, double dy) override;
    void button(int button, bool down) override;
    void key(int evdevCode, bool down) override;
    void typeText(std::u32string_view text) override;
    void wheel(int vertical, int horizontal) override;
    std::optional<KeyPlace> keyForKeysym(std::uint32_t keysym) override;
    // Devices carry no desktop actions, and a session without an input interface binds no
    // shortcut Quillon could know of: nothing happens (the README says so).
    bool desktopAction(DesktopAction) override { return false; }
    // Every frame goes to the kernel as it is made; this reads the session's LED changes.
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
