#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillon::platform::clipboard {

// A clipboard's content: the data in each type (MIME type) it is offered in.
using Content = std::vector<std::pair<std::string, std::string>>;

// The text types a text is offered in.
inline constexpr const char* kTextTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING",
                                             "text/plain", "STRING", "TEXT"};
Content textContent(const std::string& text);

// Reads a pipe to its end (a clipboard owner's data): nothing when it is larger than `limit`
// or its writer stalls past `deadline`.
std::optional<std::string> readPipe(int fd, std::chrono::steady_clock::time_point deadline,
                                    std::size_t limit);

// Writes all of `data` to a reader's pipe (someone pasting what we offer), giving up when the
// reader has not taken it all by `deadline` or went away: a reader that never reads must not
// hold the transport's thread. The pipe is made non-blocking.
void writePipe(int fd, const std::string& data, std::chrono::steady_clock::time_point deadline);

// How much of the user's clipboard is kept for the restore: every type it is offered in, up to
// `maxTypes` of them and `maxBytes` in all; a type that does not fit, or whose owner does not
// answer within `readTimeout` in all, is not kept. The read runs on the transport's own thread
// whenever someone else's selection appears, never on the input path; a paste that comes while
// that read is still under way waits for it at most `pasteWait`, and a read that ends later
// still counts for the restore (usersArrived()).
struct Limits {
    std::size_t maxBytes = 16u << 20;
    std::size_t maxTypes = 16;
    std::chrono::milliseconds readTimeout{2000}; // a busy owner may be slow to answer
    std::chrono::milliseconds pasteWait{300};
};

// Whose selection the user's clipboard read belongs to, and whether it is done: the
// transport's thread reads each new foreign selection in the background.
class UsersClipboard {
public:
    // The selection changed (someone copied, or the clipboard emptied).
    void selectionChanged() noexcept { ++serial_; }
    // A read of the current selection is due (none done or under way for it).
    bool readDue() const noexcept { return !reading_ && readSerial_ != serial_; }
    std::uint64_t startRead() noexcept {
        reading_ = true;
        return serial_;
    }
    // The read of selection `serial` ended; kept only while that selection is still current.
    void finishRead(std::uint64_t serial, std::optional<Content> content) {
        reading_ = false;
        if (serial == serial_) {
            content_ = std::move(content);
            readSerial_ = serial;
        }
    }
    // There is no selection to read: the user's clipboard is empty.
    void empty() {
        content_.reset();
        readSerial_ = serial_;
    }
    bool ready() const noexcept { return readSerial_ == serial_; }
    const std::optional<Content>& content() const noexcept { return content_; }
    std::uint64_t serial() const noexcept { return serial_; }

private:
    std::uint64_t serial_ = 1;
    std::uint64_t readSerial_ = 0;
    bool reading_ = false;
    std::optional<Content> content_;
};

// How long the pasted text stays (see PastePolicy).
struct PasteTiming {
    std::chrono::milliseconds hold{1000};
    std::chrono::milliseconds quiet{300};
    std::chrono::milliseconds timeout{3000};
};

// Pasting a text through the session clipboard and giving the user's clipboard back, as a plain
// value given the time: the transports (Mutter's remote-desktop selection, wlr data-control)
// own the connection, read and serve the data, and ask this what to offer and when.
//
//   foreign ── beginPaste ──▶ pasting ── restoreDue ─▶ restored ── beginPaste ─▶ pasting ...
//      ▲                         │                        │
//      └──── someoneCopied ──────┴────────────────────────┘
//
// Reads of the pasted text do not tell the paste's own read from others (clipboard managers
// read every new selection at once), so the pasted text stays for `hold` after the paste and
// until reads of it have been quiet for `quiet`, and at most `timeout`. Then the user's
// clipboard is offered again, in every type it was kept in; when the user had none (or none we
// could keep) an empty text takes the place of ours, so the pasted text (a password, perhaps)
// never stays on the clipboard. A copy made meanwhile is the user's clipboard from then on:
// nothing is restored over it.
class PastePolicy {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    using Timing = PasteTiming;
    enum class State { foreign, pasting, restored };

    explicit PastePolicy(Timing timing = {}) : timing_(timing) {}

    State state() const noexcept { return state_; }
    // Whether the user's clipboard must be read before beginPaste(): someone else owns it.
    // (While we offer the user's restored clipboard, or a paste, we already hold it.)
    bool needsUsersClipboard() const noexcept { return state_ == State::foreign; }

    // We are about to make `text` the selection for a paste at `now`. `users` is the user's
    // clipboard as read (when needsUsersClipboard()); nothing when it was empty or unreadable.
    // `usersKnown` false: its read is still under way, and usersArrived() may bring it.
    void beginPaste(const std::string& text, std::optional<Content> users, Time now,
                    bool usersKnown = true);
    // The read of the user's clipboard that was under way at beginPaste() ended.
    void usersArrived(std::optional<Content> users);
    // Someone read our pasted text at `now`.
    void pasteRead(Time now);
    // The last paste's text was offered and nobody has read it yet: a paste begun now would
    // take its place before its paste keys read it. Transports wait for the read (at most the
    // hold) before they offer the next text.
    bool awaitingRead() const noexcept { return state_ == State::pasting && !lastRead_; }
    // Someone else took the clipboard: not ours to restore any more.
    void someoneCopied();

    // True when the user's clipboard is to be offered again now.
    bool restoreDue(Time now) const;
    // Moves to `restored` and answers the content to offer: the user's, or an empty text.
    const Content& restore();
    // What we offer now (the paste's text or the restored clipboard); nothing when foreign.
    const Content* offered() const;
    // When restoreDue() may next become true (while pasting).
    std::optional<Time> nextCheck() const;

private:
    Timing timing_;
    State state_ = State::foreign;
    Content paste_;
    Content users_;
    bool haveUsers_ = false;
    bool usersPending_ = false;
    Time pastedAt_{};
    std::optional<Time> lastRead_;
};

} // namespace quillon::platform::clipboard
