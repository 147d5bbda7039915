#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace quillon::platform {

// The X server's CLIPBOARD selection, for text a keyboard cannot type: the text becomes the
// selection, the caller taps the paste keys, and the user's clipboard comes back afterwards
// (every target its owner offered, as bytes, up to 16 MiB in all).
//
// X selections are owned by a client that answers each paste itself, so this keeps a
// connection and a thread of its own: answers must come while the caller's thread is busy.
//
// Restore timing: requests for our text do not tell the paste's own from others, so the text
// stays for `pasteHold` after offerPaste() and until requests have been quiet for a moment, and
// at most `pasteTimeout`. Then the user's earlier clipboard is served by us again; when there
// was none (or it could not be read) the selection is given up, so the pasted text (a password,
// perhaps) never stays on the clipboard. Someone copying meanwhile owns the clipboard from then
// on: nothing is restored over it.
//
// Pitfall: a restored clipboard lives in this object; when it ends (the host quits) the X
// clipboard is empty, as it is when any application that owned it quits.
class X11SelectionClipboard {
public:
    struct Options {
        std::string display; // empty: $DISPLAY
        std::chrono::milliseconds pasteHold = std::chrono::seconds(1);
        std::chrono::milliseconds pasteTimeout = std::chrono::seconds(3);
        // How long the owner of the user's clipboard is given to hand over a target (and twice
        // that for all of them).
        std::chrono::milliseconds readTimeout = std::chrono::seconds(1);
    };

    explicit X11SelectionClipboard(Options options);
    ~X11SelectionClipboard();
    X11SelectionClipboard(const X11SelectionClipboard&) = delete;
    X11SelectionClipboard& operator=(const X11SelectionClipboard&) = delete;

    // Connected to the X server.
    bool available() const;
    // Why not available; empty when it is.
    std::string reason() const;

    // Makes `text` the CLIPBOARD (UTF8_STRING and the usual text targets), keeping the user's
    // clipboard for the restore. Returns once the server names us the owner (a paste key sent
    // after this asks us); false when the selection could not be taken.
    bool offerPaste(const std::string& text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
