#pragma once

#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Input/InputBackend.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillon::platform {

// Input for KDE Plasma (KWin) through org_kde_kwin_fake_input. KWin offers that global only to
// executables a desktop entry grants it (X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input, with
// Exec naming the executable); without one the permission says so.
//
// Pointer: absolute moves to the selected area of `geometry` in KWin's global logical
// coordinates (clamped inside it), relative moves as motion. Wheel: KWin's fake axis carries a
// value and no steps; 15 per click (a physical wheel's value), in proportion to the
// high-resolution units. Keys go by evdev code through KWin's own keymap and modifier state.
// Text: characters on the layout's first or Shift level are typed as keys. Fake input has no keymap of its own, so a text with any
// character the layout lacks is put whole on the session clipboard (zwlr_data_control_manager_v1,
// see Clipboard/DataControlClipboard) and pasted with Control+V; the user's clipboard text comes back
// after the paste. Where KWin offers no data-control, those characters are dropped and counted.
//
// Desktop actions through KWin's D-Bus interface on the session bus: the current virtual
// desktop +-1 within the desktops there are (no wrap-around), show desktop.
//
// A lost compositor: verbs are dropped and counted; a new connection is tried at most every
// `reconnectInterval`.
class KdeFakeInputBackend : public InputBackend {
public:
    struct Options {
        std::string display; // socket name or absolute path; empty: $WAYLAND_DISPLAY
        std::shared_ptr<const WaylandDisplayGeometry> geometry;
        // KWin's D-Bus address; empty: the session bus.
        std::string busAddress;
        std::chrono::milliseconds reconnectInterval = std::chrono::seconds(3);
        // How long pasted text stays on the clipboard before the user's text comes back.
        std::chrono::milliseconds pasteHold = std::chrono::seconds(1);
        std::chrono::milliseconds pasteTimeout = std::chrono::seconds(3);
    };

    explicit KdeFakeInputBackend(Options options);
    ~KdeFakeInputBackend() override;
    KdeFakeInputBackend(const KdeFakeInputBackend&) = delete;
    KdeFakeInputBackend& operator=(const KdeFakeInputBackend&) = delete;

    std::string_view name() const override { return "kde"; }
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

    // Verbs (and characters) dropped because there was no compositor or no way to carry them
    // out.
    std::uint64_t dropped() const;
    // Texts pasted through the clipboard.
    std::uint64_t pastes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
