#pragma once

#include "Platform/Input/Clipboard/PastePolicy.hpp"
#include "Platform/Input/Clipboard/SessionClipboard.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace quillon::platform {

// The session clipboard through zwlr_data_control_manager_v1 (KWin, wlroots compositors), for
// text a backend cannot type: the text is made the selection, the caller taps the paste keys,
// and the user's earlier clipboard (in every type it was offered in: text, rich text, images)
// comes back once the paste has read ours, as clipboard::PastePolicy decides.
//
// Its own Wayland connection and thread: data-control needs no surface or focus, reads of our
// text (a paste, the compositor's own clipboard handling) must be answered while the caller's
// thread is idle, and the user's clipboard is read there whenever someone else copies, so that
// offerPaste() (on the input path) never waits for an application to hand it over.
//
// Pitfall: the restored clipboard is served by this connection, and the compositor drops a
// selection whose owner leaves: once this object is gone (the host exits, KWin is lost) the
// clipboard is empty, never the pasted text.
class DataControlClipboard : public SessionClipboard {
public:
    struct Options {
        std::string display; // socket name or absolute path; empty: $WAYLAND_DISPLAY
        clipboard::PastePolicy::Timing timing;
        clipboard::Limits limits;
    };

    explicit DataControlClipboard(Options options);
    ~DataControlClipboard() override;
    DataControlClipboard(const DataControlClipboard&) = delete;
    DataControlClipboard& operator=(const DataControlClipboard&) = delete;

    // Connected, with a data-control manager and a seat.
    bool available() const override;
    std::string reason() const override;
    // Returns once the compositor has made the text the selection.
    bool offerPaste(const std::string& text) override;
    void awaitPasteRead() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
