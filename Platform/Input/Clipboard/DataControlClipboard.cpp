#include "Platform/Input/Clipboard/DataControlClipboard.hpp"

#include "Platform/Input/Wayland/WaylandClient.hpp"

#include "wlr-data-control-unstable-v1-client-protocol.h"
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
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

using clipboard::Content;
using clipboard::PastePolicy;

} // namespace

struct DataControlClipboard::Impl {
    Options options;

    // Guards every use of the connection and the state below: the caller's offerPaste() and
    // the clipboard thread share them. The thread waits for the socket without the lock and
    // without wl_display_prepare_read (a prepared reader would block the caller's roundtrip).
    mutable std::mutex mutex;
    std::condition_variable usersRead;    // a background read of the user's clipboard ended
    std::condition_variable pasteWasRead; // someone read the pasted text
    wayland::Client client;
    wl_display* display = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    zwlr_data_control_device_v1* device = nullptr;
    std::string reason;
    PastePolicy policy{options.timing};
    clipboard::UsersClipboard users;

    // Offers KWin introduced, with their mime types; `selection` is the current one.
    std::unordered_map<zwlr_data_control_offer_v1*, std::vector<std::string>> offers;
    zwlr_data_control_offer_v1* selection = nullptr;

    zwlr_data_control_source_v1* source = nullptr; // ours, while the policy offers something

    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stopping{false};
    std::thread loop;

    explicit Impl(Options o)
        : options(std::move(o)),
          client({.display = options.display,
                  .global = [this](std::uint32_t name, std::string_view interface, std::uint32_t) {
                      // Version 1: the clipboard only; the primary selection is left alone.
                      if (interface == zwlr_data_control_manager_v1_interface.name) {
                          manager = static_cast<zwlr_data_control_manager_v1*>(
                              client.bind(name, &zwlr_data_control_manager_v1_interface, 1));
                      }
                  }}) {}

    bool alive() const {
        return display != nullptr && device != nullptr && wl_display_get_error(display) == 0;
    }

    std::string where() const { return client.where(); }

    void connect() {
        if (!client.connect(1)) {
            reason = "cannot connect to the Wayland compositor at " + where();
            return;
        }
        display = client.display();
        if (manager == nullptr || client.seat() == nullptr) {
            reason = "the compositor at " + where() +
                     " offers no zwlr_data_control_manager_v1 (clipboard) to this program";
            return;
        }
        device = zwlr_data_control_manager_v1_get_data_device(manager, client.seat());
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
        client.disconnect();
        source = nullptr;
        device = nullptr;
        manager = nullptr;
        display = nullptr;
    }

    // A foreign selection the user's clipboard has not been read from: asks its owner for every
    // type it offers (images and rich text as well as text), as a pasting application would.
    // Called with the lock held; the pipes are read by the clipboard thread without it.
    struct PendingRead {
        std::uint64_t serial = 0;
        std::vector<std::pair<std::string, int>> pipes; // type, read end
    };
    std::optional<PendingRead> startUsersRead() {
        if (!policy.needsUsersClipboard() || !users.readDue()) {
            return std::nullopt;
        }
        if (selection == nullptr) {
            users.empty();
            usersRead.notify_all();
            return std::nullopt;
        }
        PendingRead read;
        read.serial = users.startRead();
        const auto& mimes = offers[selection];
        for (std::size_t i = 0; i < mimes.size() && i < options.limits.maxTypes; ++i) {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) {
                break;
            }
            zwlr_data_control_offer_v1_receive(selection, mimes[i].c_str(), fds[1]);
            ::close(fds[1]);
            read.pipes.emplace_back(mimes[i], fds[0]);
        }
        wl_display_flush(display);
        return read;
    }

    // Reads what the owner writes, within the limits (no lock held), then keeps it.
    void finishUsersRead(PendingRead read) {
        const auto deadline = Clock::now() + options.limits.readTimeout;
        std::size_t total = 0;
        Content content;
        for (auto& [mime, fd] : read.pipes) {
            auto data = clipboard::readPipe(fd, deadline, options.limits.maxBytes - total);
            ::close(fd);
            if (data) {
                total += data->size();
                content.emplace_back(mime, std::move(*data));
            }
        }
        std::lock_guard lock(mutex);
        std::optional<Content> result;
        if (!content.empty()) {
            result = std::move(content);
        }
        const bool current = read.serial == users.serial();
        users.finishRead(read.serial, result);
        if (current) {
            policy.usersArrived(users.content()); // a paste that could not wait for it
        }
        usersRead.notify_all();
    }

    // Makes `content` the selection through a new source of ours; the previous one is let go.
    void own(const Content& content) {
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
    }

    void awaitRead(std::unique_lock<std::mutex>& lock) {
        if (policy.awaitingRead()) {
            wake();
            pasteWasRead.wait_for(lock, options.timing.hold,
                                  [this] { return !policy.awaitingRead() || !alive(); });
        }
    }

    bool offerPaste(const std::string& text) {
        std::unique_lock lock(mutex);
        // The latest selection first: a copy the clipboard thread has not read yet has cancelled
        // our source, and the user's clipboard is that copy, not what we offered.
        if (!alive() || wl_display_roundtrip(display) < 0) {
            return false;
        }
        // The last paste's keys have not read its text yet: ours would take its place.
        awaitRead(lock);
        if (!alive()) {
            return false;
        }
        bool known = true;
        if (policy.needsUsersClipboard() && !users.ready()) {
            // A copy made a moment ago: the clipboard thread is reading it. Wait a little for
            // it; a read that takes longer still counts for the restore when it ends.
            wake();
            known = usersRead.wait_for(lock, options.limits.pasteWait,
                                       [this] { return users.ready() || !alive(); });
        }
        std::optional<Content> kept;
        if (policy.needsUsersClipboard() && users.ready()) {
            kept = users.content();
        }
        policy.beginPaste(text, std::move(kept), Clock::now(), known && users.ready());
        own(*policy.offered());
        // KWin has the selection before the caller's paste keys go out on their connection.
        if (wl_display_roundtrip(display) < 0 || !alive()) {
            return false;
        }
        // Someone copied within the roundtrip: their text stands, ours is not pasted.
        const bool ours = policy.state() == PastePolicy::State::pasting;
        wake();
        return ours;
    }

    void maybeRestore() {
        if (!policy.restoreDue(Clock::now())) {
            return;
        }
        // A copy made just now must not be covered by the restore: see every event the
        // compositor sent before, its cancel of our source among them.
        if (wl_display_roundtrip(display) < 0 || !policy.restoreDue(Clock::now())) {
            return;
        }
        // Letting go of the selection would leave nothing, not the user's clipboard: the
        // policy offers an empty text when the user had none (or none we could keep).
        own(policy.restore());
    }

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
    }

    void run() {
        while (!stopping) {
            int fd = -1;
            int timeoutMs = 1000;
            std::optional<PendingRead> read;
            {
                std::lock_guard lock(mutex);
                if (!alive()) {
                    usersRead.notify_all();
                    pasteWasRead.notify_all();
                    return;
                }
                wl_display_dispatch_pending(display);
                maybeRestore();
                read = startUsersRead();
                wl_display_flush(display);
                fd = wl_display_get_fd(display);
                if (policy.state() == PastePolicy::State::pasting) {
                    timeoutMs = 50;
                }
            }
            if (read) {
                finishUsersRead(std::move(*read));
                continue;
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
        // Our own selections come back here too: only someone else's is the user's clipboard
        // (a copy that ends ours is also seen by cancelled(), whichever comes first).
        if (self->policy.state() == PastePolicy::State::foreign) {
            self->users.selectionChanged();
        }
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
        const Content* offered = self->policy.offered();
        if (source == self->source && offered != nullptr) {
            self->policy.pasteRead(Clock::now());
            self->pasteWasRead.notify_all();
            const auto it = std::find_if(offered->begin(), offered->end(),
                                         [&](const auto& entry) { return entry.first == mime; });
            if (it != offered->end()) {
                clipboard::writePipe(fd, it->second, Clock::now() + std::chrono::seconds(1));
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
            self->policy.someoneCopied();
            self->users.selectionChanged();
        }
    }
    static constexpr zwlr_data_control_source_v1_listener sourceListener{send, cancelled};
};

DataControlClipboard::DataControlClipboard(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->connect();
    if (impl_->alive()) {
        impl_->loop = std::thread([this] { impl_->run(); });
    }
}

DataControlClipboard::~DataControlClipboard() {
    impl_->stopping = true;
    impl_->wake();
    if (impl_->loop.joinable()) {
        impl_->loop.join();
    }
    impl_->disconnect();
    ::close(impl_->wakeFd);
}

bool DataControlClipboard::available() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->alive();
}

std::string DataControlClipboard::reason() const {
    std::lock_guard lock(impl_->mutex);
    if (impl_->alive()) {
        return {};
    }
    return impl_->reason.empty() ? "lost the connection to the compositor at " + impl_->where()
                                 : impl_->reason;
}

bool DataControlClipboard::offerPaste(const std::string& text) {
    return impl_->offerPaste(text);
}

void DataControlClipboard::awaitPasteRead() {
    std::unique_lock lock(impl_->mutex);
    impl_->awaitRead(lock);
}

} // namespace quillon::platform
