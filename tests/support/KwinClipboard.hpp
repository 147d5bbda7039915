#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quillon::testing {

// Another application's view of a KWin session's clipboard, through zwlr_data_control: it copies
// text (owning the selection and answering reads from its own thread, as an application does)
// and pastes (reads the current selection's text, as an application does on Control+V).
class KwinClipboard {
public:
    explicit KwinClipboard(const std::string& display);
    ~KwinClipboard();
    KwinClipboard(const KwinClipboard&) = delete;
    KwinClipboard& operator=(const KwinClipboard&) = delete;

    // Copies `text`; returns once KWin has made it the selection.
    void copy(const std::string& text);
    // Clears the selection, as when the user never copied anything.
    void clear();
    // The current selection's text; nothing when there is no selection or it holds no text.
    std::optional<std::string> paste();
    // Selection changes seen so far (each copy anywhere in the session counts one).
    std::uint64_t changes();
    // Waits until more than `seen` changes were seen; false on timeout.
    bool waitForChange(std::uint64_t seen,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::testing
