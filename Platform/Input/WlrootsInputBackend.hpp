#pragma once

#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Input/InputBackend.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillon::platform {

// Input for wlroots compositors (Sway, Hyprland, river, labwc, Wayfire): one virtual pointer
// (zwlr_virtual_pointer_manager_v1) and one virtual keyboard (zwp_virtual_keyboard_manager_v1)
// for the backend's lifetime. A virtual device appearing changes the seat's capabilities and
// clients bind their pointer or keyboard only then, so devices are never recreated per use.
//
// Pointer: absolute moves go to the selected area of `geometry` (clamped inside it) as a
// fraction of the whole layout, with sub-point precision; relative moves are sent as motion
// and the compositor stops them at the layout's edges. Wheel: the source is "wheel", the value
// 15 per click (what a physical wheel gives) in proportion to the high-resolution units, the
// discrete steps counted from whole clicks crossed (the remainder kept for the next call).
//
// Keyboard: the user's keymap (the seat's keymap when the seat has a keyboard before ours
// appears, else the xkb defaults of the environment) is uploaded once. The backend keeps its
// own xkb state of the keys it sent and sends `modifiers` after every key: wlroots 0.15 does not
// derive modifiers from a virtual keyboard's keys. Text is typed on the user's keymap where a
// character is on its first or Shift level, and otherwise on a keymap of our own that puts the
// missing characters on spare keycodes, switched in for the run of such characters and
// switched back at once (Wayland delivers the keymap change and the keys in order, so the
// switch cannot race the reader). Text never carries Caps Lock.
//
// Desktop actions: through Sway's IPC (`swaySocket`, default $SWAYSOCK) where it exists:
// workspaces by number, show desktop as a visit to an empty workspace and back. Without Sway's
// IPC they are dropped and counted (wlroots compositors bind no common shortcut to them).
//
// A lost compositor: verbs are dropped and counted; a new connection is tried at most every
// `reconnectInterval`; what was down went with the old virtual devices (connections() tells).
class WlrootsInputBackend : public InputBackend {
public:
    struct Options {
        std::string display; // socket name or absolute path; empty: $WAYLAND_DISPLAY
        std::shared_ptr<const WaylandDisplayGeometry> geometry;
        std::string swaySocket; // empty: $SWAYSOCK
        std::chrono::milliseconds reconnectInterval = std::chrono::seconds(3);
    };

    explicit WlrootsInputBackend(Options options);
    ~WlrootsInputBackend() override;
    WlrootsInputBackend(const WlrootsInputBackend&) = delete;
    WlrootsInputBackend& operator=(const WlrootsInputBackend&) = delete;

    std::string_view name() const override { return "wlroots"; }
    InputPermission permission() const override;
    std::uint64_t connections() const override;

    void movePointerTo(Point to) override;
    void movePointerBy(double dx, double dy) override;
    void button(int button, bool down) override;
    void key(int evdevCode, bool down) override;
    void typeText(std::u32string_view text) override;
    void wheel(int vertical, int horizontal) override;
    std::optional<KeyPlace> keyForKeysym(std::uint32_t keysym) override;
    bool desktopAction(DesktopAction action) override;
    void flush() override;
    void sync() override;

    // Verbs dropped because there was no compositor or no way to carry them out.
    std::uint64_t dropped() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
