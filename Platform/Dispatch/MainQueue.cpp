#include "Platform/Dispatch/MainQueue.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace quillon::platform {

struct IoContextMainQueue::Impl {
    asio::io_context ctx;
    std::atomic<std::thread::id> mainThread{std::this_thread::get_id()};
    std::atomic<bool> stopRequested{false};

    // Handler exceptions are reported and the loop goes on, as a GUI loop would.
    template <typename Run> void guarded(Run&& run) {
        for (;;) {
            try {
                run();
                return;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "quillon: uncaught exception on the main queue: %s\n",
                             e.what());
            } catch (...) {
                std::fprintf(stderr, "quillon: uncaught exception on the main queue\n");
            }
        }
    }
};

IoContextMainQueue::IoContextMainQueue() : impl_(std::make_unique<Impl>()) {}

IoContextMainQueue::~IoContextMainQueue() = default;

void IoContextMainQueue::post(std::function<void()> work) {
    asio::post(impl_->ctx, std::move(work));
}

void IoContextMainQueue::postAfter(std::chrono::nanoseconds delay, std::function<void()> work) {
    auto timer = std::make_shared<asio::steady_timer>(impl_->ctx);
    timer->expires_after(std::max(delay, std::chrono::nanoseconds::zero()));
    timer->async_wait([timer, work = std::move(work)](const std::error_code& ec) {
        if (!ec) {
            work();
        }
    });
}

bool IoContextMainQueue::isMainThread() const {
    return impl_->mainThread.load() == std::this_thread::get_id();
}

void IoContextMainQueue::run() {
    impl_->mainThread = std::this_thread::get_id();
    impl_->ctx.restart();
    // A stop() that came before run() counts; one that comes after restart() stops the loop.
    if (impl_->stopRequested.exchange(false)) {
        return;
    }
    auto guard = asio::make_work_guard(impl_->ctx);
    impl_->guarded([&] { impl_->ctx.run(); });
    impl_->stopRequested = false;
}

void IoContextMainQueue::stop() {
    impl_->stopRequested = true;
    impl_->ctx.stop();
}

void IoContextMainQueue::runFor(std::chrono::nanoseconds duration) {
    impl_->mainThread = std::this_thread::get_id();
    impl_->ctx.restart();
    auto guard = asio::make_work_guard(impl_->ctx);
    const auto deadline = std::chrono::steady_clock::now() + duration;
    impl_->guarded([&] { impl_->ctx.run_until(deadline); });
}

bool IoContextMainQueue::runUntil(const std::function<bool()>& predicate,
                                  std::chrono::nanoseconds timeout) {
    impl_->mainThread = std::this_thread::get_id();
    impl_->ctx.restart();
    auto guard = asio::make_work_guard(impl_->ctx);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The predicate may also turn true from another thread, so wait in short slices.
    constexpr auto slice = std::chrono::milliseconds(5);
    for (;;) {
        if (predicate()) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || impl_->ctx.stopped()) {
            return predicate();
        }
        impl_->guarded([&] { impl_->ctx.run_one_until(std::min(deadline, now + slice)); });
    }
}

asio::io_context& IoContextMainQueue::context() noexcept {
    return impl_->ctx;
}

} // namespace quillon::platform
