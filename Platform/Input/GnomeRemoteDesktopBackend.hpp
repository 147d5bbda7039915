#pragma once

#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Input/InputBackend.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace quillon::platform {

// Input for GNOME Shell (Mutter) through org.gnome.Mutter.RemoteDesktop on the session bus.
// One remote desktop session for the host's lifetime, made at construction and again after the
// compositor was lost (at most every `reconnectInterval`).
//
// Pointer: Mutter takes absolute motion only in the coordinates of a screen cast stream, so the
// session is linked to a ScreenCast session recording the primary monitor (which needs a running
// PipeWire: Mutter refuses to start the stream without one). Points are mapped from `geometry`'s
// selected area into that monitor (its logical extent onto the stream's pixels, so scaled
// monitors work); points on other monitors (display=all) are reached by relative motion from the
// last point put on the primary one. Without PipeWire the session is made
// again without the stream and the pointer goes by relative motion from a known point: the first
// move after (re)connecting pushes the pointer into the bottom-right corner (never the top-left,
// which opens Activities) and every later move is the delta from the last point. Moves made
// meanwhile by another pointer are not seen, so that route drifts until the next anchor: it is
// the fallback, said in mode().
//
// Keys go by evdev code. Wheel: smooth values (10 per click, Mutter's own wheel step) plus
// discrete steps for whole clicks. Text: when every character is on the layout (the keymap the
// compositor gives Wayland clients, read once at connection) it is typed by keysym, Mutter adding
// Shift or AltGr itself; otherwise the whole text goes through the session clipboard and a paste
// (Control+V by keysym, so other layouts work). Terminals paste with Control+Shift+V: text with
// characters off the layout does not reach a terminal (a known limit). The user's clipboard, in
// every type it is offered in, is read on the bus thread whenever someone else copies (never on
// the input path), and offered again `pasteHold` after the paste, once reads of the pasted text
// have been quiet for a moment (at most `pasteTimeout` after it): clipboard::PastePolicy. A
// clipboard that held nothing is left holding an empty text, never the pasted one.
//
// A bus thread of the backend answers Mutter's clipboard requests and notices a lost compositor
// (the remote desktop name losing its owner, the session closed): verbs are then dropped and
// counted, and permission() says why.
class GnomeRemoteDesktopBackend : public InputBackend {
public:
    struct Options {
        std::string busAddress;     // empty: the session bus
        std::string waylandDisplay; // for the keymap: socket name or path; empty: $WAYLAND_DISPLAY
        std::shared_ptr<const WaylandDisplayGeometry> geometry;
        std::chrono::milliseconds reconnectInterval = std::chrono::seconds(3);
        std::chrono::milliseconds pasteHold = std::chrono::seconds(1);
        std::chrono::milliseconds pasteTimeout = std::chrono::seconds(3);
    };

    enum class PointerMode { absolute, relativeFromCorner };

    explicit GnomeRemoteDesktopBackend(Options options);
    ~GnomeRemoteDesktopBackend() override;
    GnomeRemoteDesktopBackend(const GnomeRemoteDesktopBackend&) = delete;
    GnomeRemoteDesktopBackend& operator=(const GnomeRemoteDesktopBackend&) = delete;

    std::string_view name() const override { return "gnome"; }
    InputPermission permission() const override;
    std::uint64_t connections() const override;

    void movePointerTo(Point to) override;
    void movePointerBy(double dx, double dy) override;
    void button(int button, bool down) override;
    void key(int evdevCode, bool down) override;
    void typeText(std::u32string_view text) override;
    void wheel(int vertical, int horizontal) override;
    std::optional<KeyPlace> keyForKeysym(std::uint32_t keysym) override;
    // None of its own: workspaces go by GNOME's shortcuts (Super+Page Down / Page Up); GNOME
    // Shell binds nothing to showing the desktop.
    bool desktopAction(DesktopAction action) override;
    std::vector<int> desktopShortcut(DesktopAction action) const override;
    void flush() override;
    void sync() override;

    PointerMode mode() const;
    // Verbs (and texts) dropped because there was no session or no way to carry them out.
    std::uint64_t dropped() const;
    // Texts that went through the clipboard and a paste.
    std::uint64_t pastes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
