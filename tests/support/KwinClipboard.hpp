#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

    // Copies `data` in the given types; returns once KWin has made it the selection. Each read
    // is answered after `answerDelay` (a busy application is slow to hand its data over).
    void copy(const std::string& data,
              std::vector<std::string> mimeTypes = {"text/plain;charset=utf-8", "text/plain"},
              std::chrono::milliseconds answerDelay = std::chrono::milliseconds(0));
    // Clears the selection, as when the user never copied anything.
    void clear();
    // The current selection in `mimeType` (empty: as text); nothing when there is no selection
    // or it is not offered in that type.
    std::optional<std::string> paste(const std::string& mimeType = {});
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
