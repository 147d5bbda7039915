#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace quillon::platform {

// The session clipboard of a KWin session through zwlr_data_control_manager_v1, for text that
// fake input cannot type: the text is made the selection, the caller taps the paste keys, and
// the user's earlier clipboard (in every type it was offered in: text, rich text, images) comes
// back once the paste has read ours.
//
// Its own Wayland connection and thread: data-control needs no surface or focus, and reads of
// our text (a paste, KWin's own clipboard handling) must be answered while the caller's thread
// is idle.
//
// Restore timing: reads of our text do not tell the paste's own from others, so the paste's
// text stays for `pasteHold` after offerPaste() and until reads have been quiet for a moment,
// and at most `pasteTimeout`. Then the user's clipboard is offered again by us; when the user had
// none (or none we could read) an empty text takes its place, so the pasted text (a password,
// perhaps) never stays on the clipboard. Someone copying meanwhile owns the clipboard from then
// on: nothing is restored over it.
//
// Pitfall: the restored clipboard is served by this connection, and KWin drops a selection
// whose owner leaves: once this object is gone (the host exits, KWin is lost) the clipboard is
// empty, never the pasted text.
class KdeDataControlClipboard {
public:
    struct Options {
        std::string display; // socket name or absolute path; empty: $WAYLAND_DISPLAY
        std::chrono::milliseconds pasteHold = std::chrono::seconds(1);
        std::chrono::milliseconds pasteTimeout = std::chrono::seconds(3);
    };

    explicit KdeDataControlClipboard(Options options);
    ~KdeDataControlClipboard();
    KdeDataControlClipboard(const KdeDataControlClipboard&) = delete;
    KdeDataControlClipboard& operator=(const KdeDataControlClipboard&) = delete;

    // Connected, with a data-control manager and a seat.
    bool available() const;
    // Why not available; empty when it is.
    std::string reason() const;

    // Makes `text` the session's clipboard text, keeping the user's clipboard for the restore.
    // Returns once KWin has made it the selection (a paste key sent after this sees it); false
    // when the clipboard cannot be set.
    bool offerPaste(const std::string& text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
