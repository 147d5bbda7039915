#include "tests/support/KwinClipboard.hpp"

#include "wlr-data-control-unstable-v1-client-protocol.h"
#include <wayland-client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillon::testing {

struct KwinClipboard::Impl {
    std::mutex mutex; // every use of the connection
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    zwlr_data_control_device_v1* device = nullptr;
    std::map<zwlr_data_control_offer_v1*, std::vector<std::string>> offers;
    zwlr_data_control_offer_v1* selection = nullptr;
    zwlr_data_control_source_v1* source = nullptr;
    std::string copied;
    std::chrono::milliseconds answerDelay{0};
    std::atomic<std::uint64_t> changes{0};
    std::atomic<bool> stopping{false};
    std::thread loop;

    void run() {
        while (!stopping) {
            int fd = -1;
            {
                std::lock_guard lock(mutex);
                wl_display_dispatch_pending(display);
                wl_display_flush(display);
                fd = wl_display_get_fd(display);
            }
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 20);
            std::lock_guard lock(mutex);
            pollfd again{fd, POLLIN, 0};
            if (::poll(&again, 1, 0) > 0 && wl_display_prepare_read(display) == 0) {
                wl_display_read_events(display);
            }
            wl_display_dispatch_pending(display);
        }
    }

    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t) {
        auto* self = static_cast<Impl*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->seat == nullptr) {
            self->seat =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
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
        for (auto it = self->offers.begin(); it != self->offers.end();) {
            if (it->first != offer) {
                zwlr_data_control_offer_v1_destroy(it->first);
                it = self->offers.erase(it);
            } else {
                ++it;
            }
        }
        self->selection = offer;
        ++self->changes;
    }
    static void finished(void*, zwlr_data_control_device_v1*) {}
    static void primarySelection(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {
    }
    static constexpr zwlr_data_control_device_v1_listener deviceListener{
        dataOffer, selectionEvent, finished, primarySelection};

    static void send(void* data, zwlr_data_control_source_v1*, const char*, std::int32_t fd) {
        // The application's own thread is busy meanwhile, as a slow one's would be.
        std::this_thread::sleep_for(static_cast<Impl*>(data)->answerDelay);
        const auto& text = static_cast<Impl*>(data)->copied;
        [[maybe_unused]] const auto n = ::write(fd, text.data(), text.size());
        ::close(fd);
    }
    static void cancelled(void* data, zwlr_data_control_source_v1* source) {
        auto* self = static_cast<Impl*>(data);
        zwlr_data_control_source_v1_destroy(source);
        if (self->source == source) {
            self->source = nullptr;
        }
    }
    static constexpr zwlr_data_control_source_v1_listener sourceListener{send, cancelled};
};

KwinClipboard::KwinClipboard(const std::string& display) : impl_(std::make_unique<Impl>()) {
    impl_->display = wl_display_connect(display.c_str());
    if (impl_->display == nullptr) {
        ADD_FAILURE() << "cannot connect to " << display;
        throw std::runtime_error("no compositor");
    }
    impl_->registry = wl_display_get_registry(impl_->display);
    wl_registry_add_listener(impl_->registry, &Impl::registryListener, impl_.get());
    wl_display_roundtrip(impl_->display);
    if (impl_->manager == nullptr || impl_->seat == nullptr) {
        ADD_FAILURE() << "the compositor offers no zwlr_data_control_manager_v1";
        throw std::runtime_error("no data control");
    }
    impl_->device = zwlr_data_control_manager_v1_get_data_device(impl_->manager, impl_->seat);
    zwlr_data_control_device_v1_add_listener(impl_->device, &Impl::deviceListener, impl_.get());
    wl_display_roundtrip(impl_->display);
    impl_->loop = std::thread([this] { impl_->run(); });
}

KwinClipboard::~KwinClipboard() {
    impl_->stopping = true;
    if (impl_->loop.joinable()) {
        impl_->loop.join();
    }
    for (const auto& [offer, mimes] : impl_->offers) {
        zwlr_data_control_offer_v1_destroy(offer);
    }
    if (impl_->source != nullptr) {
        zwlr_data_control_source_v1_destroy(impl_->source);
    }
    zwlr_data_control_device_v1_destroy(impl_->device);
    zwlr_data_control_manager_v1_destroy(impl_->manager);
    wl_seat_destroy(impl_->seat);
    wl_registry_destroy(impl_->registry);
    wl_display_disconnect(impl_->display);
}

void KwinClipboard::copy(const std::string& data, std::vector<std::string> mimeTypes,
                         std::chrono::milliseconds answerDelay) {
    std::lock_guard lock(impl_->mutex);
    auto* source = zwlr_data_control_manager_v1_create_data_source(impl_->manager);
    zwlr_data_control_source_v1_add_listener(source, &Impl::sourceListener, impl_.get());
    for (const auto& mime : mimeTypes) {
        zwlr_data_control_source_v1_offer(source, mime.c_str());
    }
    zwlr_data_control_device_v1_set_selection(impl_->device, source);
    if (impl_->source != nullptr) {
        zwlr_data_control_source_v1_destroy(impl_->source);
    }
    impl_->source = source;
    impl_->copied = data;
    impl_->answerDelay = answerDelay;
    wl_display_roundtrip(impl_->display);
}

void KwinClipboard::clear() {
    std::lock_guard lock(impl_->mutex);
    zwlr_data_control_device_v1_set_selection(impl_->device, nullptr);
    if (impl_->source != nullptr) {
        zwlr_data_control_source_v1_destroy(impl_->source);
        impl_->source = nullptr;
    }
    wl_display_roundtrip(impl_->display);
}

std::optional<std::string> KwinClipboard::paste(const std::string& mimeType) {
    int readEnd = -1;
    {
        std::lock_guard lock(impl_->mutex);
        wl_display_roundtrip(impl_->display); // the latest selection
        if (impl_->selection == nullptr) {
            return std::nullopt;
        }
        const auto& mimes = impl_->offers[impl_->selection];
        const char* mime = nullptr;
        for (const char* m : {"text/plain;charset=utf-8", "text/plain"}) {
            if (mimeType.empty() && std::find(mimes.begin(), mimes.end(), m) != mimes.end()) {
                mime = m;
                break;
            }
        }
        if (!mimeType.empty() && std::find(mimes.begin(), mimes.end(), mimeType) != mimes.end()) {
            mime = mimeType.c_str();
        }
        if (mime == nullptr) {
            return std::nullopt;
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return std::nullopt;
        }
        zwlr_data_control_offer_v1_receive(impl_->selection, mime, fds[1]);
        ::close(fds[1]);
        wl_display_flush(impl_->display);
        readEnd = fds[0];
    }
    // Read without the lock: the owner may be this very client.
    std::string out;
    char buf[4096];
    for (;;) {
        pollfd p{readEnd, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) {
            ::close(readEnd);
            ADD_FAILURE() << "the clipboard's owner did not answer";
            return std::nullopt;
        }
        const ssize_t n = ::read(readEnd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(readEnd);
    return out;
}

std::uint64_t KwinClipboard::changes() {
    return impl_->changes.load();
}

bool KwinClipboard::waitForChange(std::uint64_t seen, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (impl_->changes.load() > seen) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace quillon::testing
