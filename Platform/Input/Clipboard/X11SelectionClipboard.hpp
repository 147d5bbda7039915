#pragma once

#include "Platform/Input/Clipboard/PastePolicy.hpp"
#include "Platform/Input/Clipboard/SessionClipboard.hpp"

#include <memory>
#include <string>

namespace quillon::platform {

// The X server's CLIPBOARD selection, for text a keyboard cannot type (the uinput backend in an
// X11 session): the text becomes the selection, the caller taps the paste keys, and the user's
// earlier clipboard (every format-8 target its owner offered: text, rich text, images) comes
// back once the paste has read ours, as clipboard::PastePolicy decides.
//
// An X selection is served by its owner, request by request, so this keeps a connection and a
// thread of its own: answers must come while the caller's thread is busy. The same thread
// follows the owner of CLIPBOARD (XFixes) and reads the user's clipboard whenever someone else
// copies, without ever blocking on that owner: every target is asked for at once and the
// answers (INCR transfers included) are taken as they come, within the limits. offerPaste()
// never waits for another application beyond the policy's pasteWait.
//
// Pitfall: the restored clipboard is served by this object; once it is gone (the host quits,
// the X server is lost) the clipboard is empty, as when any application that owned it quits.
class X11SelectionClipboard : public SessionClipboard {
public:
    struct Options {
        std::string display; // empty: $DISPLAY
        clipboard::PastePolicy::Timing timing;
        clipboard::Limits limits;
    };

    explicit X11SelectionClipboard(Options options);
    ~X11SelectionClipboard() override;
    X11SelectionClipboard(const X11SelectionClipboard&) = delete;
    X11SelectionClipboard& operator=(const X11SelectionClipboard&) = delete;

    // Connected to the X server (with XFixes).
    bool available() const override;
    std::string reason() const override;
    // Returns once the server names this the owner of CLIPBOARD.
    bool offerPaste(const std::string& text) override;
    // Read: the server has handled our answer (a paste key sent after this reaches the
    // application after the answer).
    void awaitPasteRead() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
