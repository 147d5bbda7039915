#pragma once

#include <string>

namespace quillon::platform {

// The session's clipboard as a backend pastes through it: text a keyboard cannot type is made
// the clipboard, the backend taps the paste keys, and the user's clipboard comes back once the
// paste has read it (clipboard::PastePolicy decides when and what). One implementation per
// transport: wlr data-control (DataControlClipboard), the X server's CLIPBOARD selection
// (X11SelectionClipboard); GNOME's goes through its remote desktop session instead.
//
// Threading: offerPaste() is called on the input path (the injector's lock held); a transport
// answers reads of the clipboard on a thread of its own, and reads the user's clipboard there
// whenever someone else copies, never in offerPaste().
class SessionClipboard {
public:
    virtual ~SessionClipboard() = default;

    // Connected to the session's clipboard.
    virtual bool available() const = 0;
    // Why not available; empty when it is.
    virtual std::string reason() const = 0;

    // Makes `text` the clipboard, keeping the user's clipboard for the restore. Returns once the
    // session has made it the selection (paste keys sent after this read it); false when the
    // clipboard cannot be set. A paste that follows one not read yet waits for that read (at
    // most the policy's hold), so that the earlier paste keys never read the later text.
    virtual bool offerPaste(const std::string& text) = 0;

    // Returns once the last paste's text has been read, or at once when there is none unread
    // (at most the policy's hold): keys typed after a paste then reach the application after the
    // pasted text, not before it (applications read a paste while their keys queue up).
    virtual void awaitPasteRead() = 0;
};

} // namespace quillon::platform
