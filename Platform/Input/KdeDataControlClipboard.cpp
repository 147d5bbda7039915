#include "Platform/Input/KdeDataControlClipboard.hpp"

#include "wlr-data-control-unstable-v1-client-protocol.h"
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace quillon::platform {

namespace {

using Clock = std::chrono::steady_clock;

// The user's clipboard is kept for the restore up to this size in all (every type it is offered
// in, up to kMaxMimeTypes of them); a type that does not fit, or whose owner does not answer
// within kReadTimeout in all, is not kept.
constexpr std::size_t kMaxClipboard = 16u << 20;
constexpr std::size_t kMaxMimeTypes = 16;
constexpr auto kReadTimeout = std::chrono::milliseconds(500);
// Reads of the pasted text must have been quiet this long before the restore.
constexpr auto kQuietReads = std::chrono::milliseconds(300);
const char* const kTextMimeTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain",
                                      "STRING", "TEXT"};

// Who owns the selection from our side.
enum class Selection {
    foreign,         // someone else (or nobody) owns it
    offeringPaste,   // our text is the selection until the paste has read it
    offeringRestored // the user's earlier text, offered again by us
};

// The clipboard's content in each type it is offered in.
using Content = std::vector<std::pair<std::string, std::string>>;

Content textContent(const std::string& text) {
    Content out;
    for (const char* mime : kTextMimeTypes) {
        out.emplace_back(mime, text);
    }
    return out;
}

// Reads a pipe to its end: nothing when it is larger than `limit` or stalls past `deadline`.
std::optional<std::string> readAll(int fd, Clock::time_point deadline, std::size_t limit) {
    std::string out;
    char buf[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return std::nullopt;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) {
            return out;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return std::nullopt;
        }
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > limit) {
            return std::nullopt;
        }
    }
}

// Writes all of `text` unless the reader stalls for `timeout`: a reader that never reads must
// not hold the clipboard thread.
void writeAll(int fd, const std::string& text, std::chrono::milliseconds timeout) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const auto deadline = Clock::now() + timeout;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return; // the reader went away
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return;
        }
    }
}

} // namespace

struct KdeDataControlClipboard::Impl {
    Options options;

    // Guards every use of the connection and the state below: the caller's offerPaste() and
    // the clipboard thread share them. The thread waits for the socket without the lock and
    // without wl_display_prepare_read (a prepared reader would block the caller's roundtrip).
    mutable std::mutex mutex;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    zwlr_data_control_device_v1* device = nullptr;
    std::string reason;

    // Offers KWin introduced, with their mime types; `selection` is the current one.
    std::unordered_map<zwlr_data_control_offer_v1*, std::vector<std::string>> offers;
    zwlr_data_control_offer_v1* selection = nullptr;

    Selection state = Selection::foreign;
    zwlr_data_control_source_v1* source = nullptr; // ours, while state is not foreign
    Content sourceContent;
    std::optional<Content> userContent; // nothing: no clipboard we could keep
    Clock::time_point pasteAt{};
    std::optional<Clock::time_point> lastReadAt;

    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stopping{false};
    std::thread loop;

    explicit Impl(Options o) : options(std::move(o)) {}

    bool alive() const {
        return display != nullptr && device != nullptr && wl_display_get_error(display) == 0;
    }

    std::string where() const {
        if (!options.display.empty()) {
            return options.display;
        }
        const char* env = std::getenv("WAYLAND_DISPLAY");
        return env != nullptr ? env : "wayland-0";
    }

    void connect() {
        display = wl_display_connect(options.display.empty() ? nullptr : options.display.c_str());
        if (display == nullptr) {
            reason = "cannot connect to the Wayland compositor at " + where();
            return;
        }
        registry = wl_display_get_registry(display);
        wl_registry_add_listener(registry, &registryListener, this);
        wl_display_roundtrip(display);
        if (manager == nullptr || seat == nullptr) {
            reason = "the compositor at " + where() +
                     " offers no zwlr_data_control_manager_v1 (clipboard) to this program";
            return;
        }
        device = zwlr_data_control_manager_v1_get_data_device(manager, seat);
        zwlr_data_control_device_v1_add_listener(device, &deviceListener, this);
        wl_display_roundtrip(display); // the current selection
        if (!alive()) {
            reason = "the compositor at " + where() + " refused its clipboard";
        }
    }

    void disconnect() {
        for (const auto& [offer, mimes] : offers) {
            zwlr_data_control_offer_v1_destroy(offer);
        }
        offers.clear();
        selection = nullptr;
        if (source != nullptr) {
            zwlr_data_control_source_v1_destroy(source);
        }
        if (device != nullptr) {
            zwlr_data_control_device_v1_destroy(device);
        }
        if (manager != nullptr) {
            zwlr_data_control_manager_v1_destroy(manager);
        }
        if (seat != nullptr) {
            wl_seat_destroy(seat);
        }
        if (registry != nullptr) {
            wl_registry_destroy(registry);
        }
        if (display != nullptr) {
            wl_display_flush(display);
            wl_display_disconnect(display);
        }
        source = nullptr;
        device = nullptr;
        manager = nullptr;
        seat = nullptr;
        registry = nullptr;
        display = nullptr;
    }

    // The user's current clipboard in every type it is offered in (images and rich text as
    // well as text), read as a pasting application would.
    std::optional<Content> readSelection() {
        if (selection == nullptr) {
            return std::nullopt;
        }
        const auto deadline = Clock::now() + kReadTimeout;
        std::size_t total = 0;
        Content content;
        const auto& mimes = offers[selection];
        for (std::size_t i = 0; i < mimes.size() && i < kMaxMimeTypes; ++i) {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) {
                break;
            }
            zwlr_data_control_offer_v1_receive(selection, mimes[i].c_str(), fds[1]);
            ::close(fds[1]);
            wl_display_flush(display);
            auto data = readAll(fds[0], deadline, kMaxClipboard - total);
            ::close(fds[0]);
            if (data) {
                total += data->size();
                content.emplace_back(mimes[i], std::move(*data));
            }
        }
        if (content.empty()) {
            return std::nullopt;
        }
        return content;
    }

    // Makes `content` the selection through a new source of ours; the previous one is let go.
    void own(Content content) {
        auto* next = zwlr_data_control_manager_v1_create_data_source(manager);
        zwlr_data_control_source_v1_add_listener(next, &sourceListener, this);
        for (const auto& [mime, data] : content) {
            zwlr_data_control_source_v1_offer(next, mime.c_str());
        }
        zwlr_data_control_device_v1_set_selection(device, next);
        if (source != nullptr) {
            zwlr_data_control_source_v1_destroy(source);
        }
        source = next;
        sourceContent = std::move(content);
    }

    bool offerPaste(const std::string& text) {
        std::lock_guard lock(mutex);
        // The latest selection first: a copy the clipboard thread has not read yet has cancelled
        // our source, and the user's clipboard is that copy, not what we offered.
        if (!alive() || wl_display_roundtrip(display) < 0) {
            return false;
        }
        if (state == Selection::foreign) {
            userContent = readSelection();
        } else if (state == Selection::offeringRestored) {
            userContent = sourceContent;
        }
        own(textContent(text));
        state = Selection::offeringPaste;
        pasteAt = Clock::now();
        lastReadAt.reset();
        // KWin has the selection before the caller's paste keys go out on their connection.
        if (wl_display_roundtrip(display) < 0 || !alive()) {
            return false;
        }
        // Someone copied within the roundtrip: their text stands, ours is not pasted.
        const bool ours = state == Selection::offeringPaste;
        wake();
        return ours;
    }

    void maybeRestore() {
        if (state != Selection::offeringPaste) {
            return;
        }
        const auto now = Clock::now();
        const bool quiet = !lastReadAt || now - *lastReadAt >= kQuietReads;
        if ((now - pasteAt < options.pasteHold || !quiet) && now - pasteAt < options.pasteTimeout) {
            return;
        }
        // A copy made just now must not be covered by the restore: see every event KWin sent
        // before, its cancel of our source among them.
        if (wl_display_roundtrip(display) < 0 || state != Selection::offeringPaste) {
            return;
        }
        // Letting go of the selection would leave nothing, not the user's clipboard: an empty
        // text takes the place of ours when the user had none (or none we could keep).
        own(userContent ? std::move(*userContent) : textContent({}));
        userContent.reset();
        lastReadAt.reset();
        state = Selection::offeringRestored;
    }

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
    }

    void run() {
        while (!stopping) {
            int fd = -1;
            int timeoutMs = 1000;
            {
                std::lock_guard lock(mutex);
                if (!alive()) {
                    return;
                }
                wl_display_dispatch_pending(display);
                maybeRestore();
                wl_display_flush(display);
                fd = wl_display_get_fd(display);
                if (state == Selection::offeringPaste) {
                    timeoutMs = 50;
                }
            }
            pollfd p[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
            ::poll(p, 2, timeoutMs);
            std::uint64_t drained = 0;
            [[maybe_unused]] const auto n = ::read(wakeFd, &drained, sizeof drained);
            std::lock_guard lock(mutex);
            // The caller may have read the events meanwhile: look again before reading.
            pollfd again{fd, POLLIN, 0};
            if (::poll(&again, 1, 0) > 0) {
                if (wl_display_prepare_read(display) == 0) {
                    wl_display_read_events(display);
                }
            }
            wl_display_dispatch_pending(display);
        }
    }

    // --- listeners (called with the lock held) ---

    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        auto* self = static_cast<Impl*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->seat == nullptr) {
            self->seat = static_cast<wl_seat*>(
                wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 1u)));
        } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
            // Version 1: the clipboard only; the primary selection is left alone.
            self->manager = static_cast<zwlr_data_control_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
        }
    }
    static void globalRemove(void*, wl_registry*, std::uint32_t) {}
    static constexpr wl_registry_listener registryListener{global, globalRemove};

    static void offerMime(void* data, zwlr_data_control_offer_v1* offer, const char* mime) {
        static_cast<Impl*>(data)->offers[offer].emplace_back(mime);
    }
    static constexpr zwlr_data_control_offer_v1_listener offerListener{offerMime};

    static void dataOffer(void* data, zwlr_data_control_device_v1*,
                          zwlr_data_control_offer_v1* offer) {
        auto* self = static_cast<Impl*>(data);
        self->offers[offer];
        zwlr_data_control_offer_v1_add_listener(offer, &offerListener, self);
    }
    static void selectionEvent(void* data, zwlr_data_control_device_v1*,
                               zwlr_data_control_offer_v1* offer) {
        auto* self = static_cast<Impl*>(data);
        // Offers other than the new selection are no longer of use.
        for (auto it = self->offers.begin(); it != self->offers.end();) {
            if (it->first != offer) {
                zwlr_data_control_offer_v1_destroy(it->first);
                it = self->offers.erase(it);
            } else {
                ++it;
            }
        }
        self->selection = offer;
    }
    static void finished(void* data, zwlr_data_control_device_v1* device) {
        auto* self = static_cast<Impl*>(data);
        zwlr_data_control_device_v1_destroy(device);
        self->device = nullptr;
        self->reason = "the compositor's seat went away";
    }
    static void primarySelection(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {
    }
    static constexpr zwlr_data_control_device_v1_listener deviceListener{
        dataOffer, selectionEvent, finished, primarySelection};

    static void send(void* data, zwlr_data_control_source_v1* source, const char* mime,
                     std::int32_t fd) {
        auto* self = static_cast<Impl*>(data);
        if (source == self->source) {
            if (self->state == Selection::offeringPaste) {
                self->lastReadAt = Clock::now();
            }
            const auto it = std::find_if(self->sourceContent.begin(), self->sourceContent.end(),
                                         [&](const auto& entry) { return entry.first == mime; });
            if (it != self->sourceContent.end()) {
                writeAll(fd, it->second, std::chrono::seconds(1));
            }
        }
        ::close(fd);
    }
    static void cancelled(void* data, zwlr_data_control_source_v1* source) {
        auto* self = static_cast<Impl*>(data);
        zwlr_data_control_source_v1_destroy(source);
        if (source == self->source) {
            // Someone copied something: that is the user's clipboard now, not ours to restore.
            self->source = nullptr;
            self->sourceContent.clear();
            self->userContent.reset();
            self->state = Selection::foreign;
        }
    }
    static constexpr zwlr_data_control_source_v1_listener sourceListener{send, cancelled};
};

KdeDataControlClipboard::KdeDataControlClipboard(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->connect();
    if (impl_->alive()) {
        impl_->loop = std::thread([this] { impl_->run(); });
    }
}

KdeDataControlClipboard::~KdeDataControlClipboard() {
    impl_->stopping = true;
    impl_->wake();
    if (impl_->loop.joinable()) {
        impl_->loop.join();
    }
    impl_->disconnect();
    ::close(impl_->wakeFd);
}

bool KdeDataControlClipboard::available() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->alive();
}

std::string KdeDataControlClipboard::reason() const {
    std::lock_guard lock(impl_->mutex);
    if (impl_->alive()) {
        return {};
    }
    return impl_->reason.empty() ? "lost the connection to the compositor at " + impl_->where()
                                 : impl_->reason;
}

bool KdeDataControlClipboard::offerPaste(const std::string& text) {
    return impl_->offerPaste(text);
}

} // namespace quillon::platform
