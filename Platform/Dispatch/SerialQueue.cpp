#include "Platform/Dispatch/SerialQueue.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>

namespace quillon::platform {

namespace {

using Clock = std::chrono::steady_clock;
using Handler = std::shared_ptr<const std::function<void()>>;

// The kernel keeps 15 bytes of a thread name. Cut on a UTF-8 boundary so the name stays text.
std::string threadNameFor(const std::string& label) {
    if (label.size() <= 15) {
        return label;
    }
    std::size_t cut = 15;
    while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return label.substr(0, cut);
}

void reportEscapedException(const std::string& label, const char* what) {
    std::fprintf(stderr, "quillon: uncaught exception on queue %s: %s\n", label.c_str(), what);
}

// The next tick index of a repeating timer whose tick `done` just ran. Normally done + 1; when
// the queue fell behind by more than one period the missed ticks are dropped and the timer
// lands on the latest grid point already passed (one catch-up tick, never a burst).
std::int64_t nextTickIndex(std::int64_t done, Clock::time_point first, Clock::duration interval,
                           Clock::time_point now) {
    std::int64_t next = done + 1;
    if (now > first) {
        const std::int64_t passed = (now - first) / interval;
        next = std::max(next, passed);
    }
    return next;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// SerialQueue

struct QueueCore;

namespace {
thread_local const QueueCore* tlsCurrentQueue = nullptr;
}

class QueueTimer;

struct QueueCore {
    explicit QueueCore(std::string l) : label(std::move(l)) {}

    std::string label;
    asio::io_context ctx;

    // Live timers, so their asio objects can be released before the io_context goes away even
    // when a caller still holds a handle.
    std::mutex timersMutex;
    bool closed = false;
    std::set<std::shared_ptr<QueueTimer>> timers;

    void runLoop();
    void releaseTimers();
    std::shared_ptr<TimerHandle> addTimer(Clock::time_point first,
                                          std::optional<Clock::duration> interval,
                                          std::function<void()> handler,
                                          const std::shared_ptr<QueueCore>& self);
    void forget(const std::shared_ptr<QueueTimer>& timer) {
        std::lock_guard lock(timersMutex);
        timers.erase(timer);
    }
};

// One timer on a queue. The pending wait holds a strong reference, so a timer whose handle is
// dropped still fires (fire and forget); cancel() or the queue's end releases it.
class QueueTimer : public TimerHandle, public std::enable_shared_from_this<QueueTimer> {
public:
    QueueTimer(const std::shared_ptr<QueueCore>& core, Clock::time_point first,
               std::optional<Clock::duration> interval, std::function<void()> handler)
        : core_(core), first_(first), interval_(interval),
          handler_(std::make_shared<const std::function<void()>>(std::move(handler))) {
        timer_.emplace(core->ctx);
    }

    void start() {
        std::lock_guard lock(mutex_);
        armLocked(first_);
    }

    void cancel() override { finish(); }

    // The queue is ending: drop the asio object while its io_context still exists.
    void release() {
        Handler released;
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        released = std::move(handler_);
        timer_.reset();
    }

private:
    void armLocked(Clock::time_point deadline) {
        if (!timer_) {
            return;
        }
        timer_->expires_at(deadline);
        timer_->async_wait(
            [self = shared_from_this()](const std::error_code& ec) { self->fired(ec); });
    }

    void fired(const std::error_code& ec) {
        if (ec || cancelled_.load()) {
            return;
        }
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (!handler) {
            return;
        }
        if (!interval_) {
            // Finished before running, so a handler that drops the last reference to its
            // owner does not keep it alive through the timer. A cancel() from another thread
            // that got there first wins.
            if (!finish()) {
                return;
            }
            (*handler)();
            return;
        }
        (*handler)();
        std::lock_guard lock(mutex_);
        if (cancelled_.load()) {
            return;
        }
        tick_ = nextTickIndex(tick_, first_, *interval_, Clock::now());
        armLocked(first_ + *interval_ * tick_);
    }

    // Stops the timer for good. The asio object goes at once: once the timer has left the
    // queue's list, nothing else would destroy it before the io_context. True for the call
    // that stopped it.
    bool finish() {
        Handler released;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_.exchange(true)) {
                return false;
            }
            released = std::move(handler_);
            timer_.reset(); // a pending wait completes as aborted
        }
        if (auto core = core_.lock()) {
            core->forget(shared_from_this());
        }
        return true;
    }

    std::weak_ptr<QueueCore> core_;
    const Clock::time_point first_;
    const std::optional<Clock::duration> interval_;
    std::mutex mutex_; // guards handler_, timer_ and tick_
    Handler handler_;
    std::optional<asio::steady_timer> timer_;
    std::int64_t tick_ = 0;
    std::atomic<bool> cancelled_{false};
};

// A handle that does nothing: what a queue that is shutting down hands out.
class InertTimer : public TimerHandle {
public:
    void cancel() override {}
};

void QueueCore::runLoop() {
    tlsCurrentQueue = this;
    auto guard = asio::make_work_guard(ctx);
    for (;;) {
        try {
            ctx.run();
            break;
        } catch (const std::exception& e) {
            reportEscapedException(label, e.what());
        } catch (...) {
            reportEscapedException(label, "unknown exception");
        }
    }
    tlsCurrentQueue = nullptr;
}

void QueueCore::releaseTimers() {
    std::set<std::shared_ptr<QueueTimer>> live;
    {
        std::lock_guard lock(timersMutex);
        closed = true;
        live.swap(timers);
    }
    for (const auto& t : live) {
        t->release();
    }
}

std::shared_ptr<TimerHandle> QueueCore::addTimer(Clock::time_point first,
                                                 std::optional<Clock::duration> interval,
                                                 std::function<void()> handler,
                                                 const std::shared_ptr<QueueCore>& self) {
    std::shared_ptr<QueueTimer> timer;
    {
        std::lock_guard lock(timersMutex);
        if (closed) {
            return std::make_shared<InertTimer>();
        }
        timer = std::make_shared<QueueTimer>(self, first, interval, std::move(handler));
        timers.insert(timer);
    }
    timer->start();
    return timer;
}

struct SerialQueue::Impl {
    std::shared_ptr<QueueCore> core;
    std::thread thread;
};

SerialQueue::SerialQueue(std::string label) : impl_(std::make_unique<Impl>()) {
    impl_->core = std::make_shared<QueueCore>(std::move(label));
    std::mutex m;
    std::condition_variable cv;
    bool named = false;
    impl_->thread = std::thread([core = impl_->core, &m, &cv, &named] {
        ::pthread_setname_np(::pthread_self(), threadNameFor(core->label).c_str());
        {
            // Notify under the lock: the constructor owns cv and returns once it sees `named`.
            std::lock_guard lock(m);
            named = true;
            cv.notify_one();
        }
        core->runLoop();
        // Released here, on the queue's thread, so that it also happens when the queue was
        // destroyed from one of its own handlers (the thread is then detached).
        core->releaseTimers();
    });
    // Wait for the name so that anything observing the thread sees the label.
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return named; });
}

SerialQueue::~SerialQueue() {
    impl_->core->ctx.stop();
    if (std::this_thread::get_id() == impl_->thread.get_id()) {
        // Destroyed by one of its own handlers: the loop ends when that handler returns, and the
        // thread keeps the core alive until then.
        impl_->thread.detach();
    } else {
        impl_->thread.join();
    }
}

const std::string& SerialQueue::label() const noexcept {
    return impl_->core->label;
}

void SerialQueue::async(std::function<void()> work) {
    asio::post(impl_->core->ctx, std::move(work));
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
    asio::post(impl_->core->ctx, [&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        // Notify under the lock: the waiter owns cv and may return as soon as it sees `done`.
        std::lock_guard lock(m);
        done = true;
        cv.notify_one();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
    if (error) {
        std::rethrow_exception(error);
    }
}

bool SerialQueue::isCurrent() const noexcept {
    return tlsCurrentQueue == impl_->core.get();
}

std::shared_ptr<TimerHandle> SerialQueue::scheduleOnce(std::chrono::nanoseconds delay,
                                                       std::function<void()> handler) {
    const auto first = Clock::now() + std::max(delay, std::chrono::nanoseconds::zero());
    return impl_->core->addTimer(first, std::nullopt, std::move(handler), impl_->core);
}

std::shared_ptr<TimerHandle> SerialQueue::scheduleRepeating(std::chrono::nanoseconds firstDelay,
                                                            std::chrono::nanoseconds interval,
                                                            std::function<void()> handler) {
    if (interval <= std::chrono::nanoseconds::zero()) {
        throw std::invalid_argument("repeating timer needs a positive interval");
    }
    const auto first = Clock::now() + std::max(firstDelay, std::chrono::nanoseconds::zero());
    return impl_->core->addTimer(first, std::chrono::duration_cast<Clock::duration>(interval),
                                 std::move(handler), impl_->core);
}

asio::io_context& SerialQueue::context() noexcept {
    return impl_->core->ctx;
}

// ---------------------------------------------------------------------------------------------
// ManualScheduler

namespace {

struct ManualEntry;
using ManualKey = std::pair<std::chrono::nanoseconds, std::uint64_t>; // deadline, order

} // namespace

struct ManualState {
    mutable std::mutex mutex;
    std::chrono::nanoseconds now{0};
    std::uint64_t nextOrder = 0;
    std::map<ManualKey, std::shared_ptr<ManualEntry>> queue;

    void insertLocked(const std::shared_ptr<ManualEntry>& entry, std::chrono::nanoseconds at);
};

struct ManualScheduler::Impl : ManualState {};

namespace {

struct ManualEntry : TimerHandle, std::enable_shared_from_this<ManualEntry> {
    std::weak_ptr<ManualState> owner;
    std::chrono::nanoseconds first{0};
    std::optional<std::chrono::nanoseconds> interval;
    std::int64_t tick = 0;
    Handler handler;
    std::optional<ManualKey> key; // set while queued
    bool cancelled = false;

    void cancel() override {
        auto impl = owner.lock();
        if (!impl) {
            return;
        }
        Handler released;
        std::lock_guard lock(impl->mutex);
        cancelled = true;
        released = std::move(handler);
        if (key) {
            impl->queue.erase(*key);
            key.reset();
        }
    }
};

} // namespace

void ManualState::insertLocked(const std::shared_ptr<ManualEntry>& entry,
                               std::chrono::nanoseconds at) {
    ManualKey k{at, nextOrder++};
    entry->key = k;
    queue.emplace(k, entry);
}

ManualScheduler::ManualScheduler() : impl_(std::make_shared<Impl>()) {}

ManualScheduler::~ManualScheduler() {
    // Handlers die outside the lock: their captures may hold handles of this scheduler.
    std::vector<Handler> dropped;
    std::lock_guard lock(impl_->mutex);
    for (auto& [k, e] : impl_->queue) {
        e->key.reset();
        dropped.push_back(std::move(e->handler));
    }
    impl_->queue.clear();
}

std::shared_ptr<TimerHandle> ManualScheduler::scheduleOnce(std::chrono::nanoseconds delay,
                                                           std::function<void()> handler) {
    auto entry = std::make_shared<ManualEntry>();
    entry->owner = std::static_pointer_cast<ManualState>(impl_);
    entry->handler = std::make_shared<const std::function<void()>>(std::move(handler));
    std::lock_guard lock(impl_->mutex);
    entry->first = impl_->now + std::max(delay, std::chrono::nanoseconds::zero());
    impl_->insertLocked(entry, entry->first);
    return entry;
}

std::shared_ptr<TimerHandle> ManualScheduler::scheduleRepeating(std::chrono::nanoseconds firstDelay,
                                                                std::chrono::nanoseconds interval,
                                                                std::function<void()> handler) {
    if (interval <= std::chrono::nanoseconds::zero()) {
        throw std::invalid_argument("repeating timer needs a positive interval");
    }
    auto entry = std::make_shared<ManualEntry>();
    entry->owner = std::static_pointer_cast<ManualState>(impl_);
    entry->interval = interval;
    entry->handler = std::make_shared<const std::function<void()>>(std::move(handler));
    std::lock_guard lock(impl_->mutex);
    entry->first = impl_->now + std::max(firstDelay, std::chrono::nanoseconds::zero());
    impl_->insertLocked(entry, entry->first);
    return entry;
}

void ManualScheduler::advance(std::chrono::nanoseconds by) {
    std::chrono::nanoseconds target;
    {
        std::lock_guard lock(impl_->mutex);
        target = impl_->now + std::max(by, std::chrono::nanoseconds::zero());
    }
    for (;;) {
        Handler handler;
        {
            std::lock_guard lock(impl_->mutex);
            auto it = impl_->queue.begin();
            if (it == impl_->queue.end() || it->first.first > target) {
                impl_->now = target;
                return;
            }
            auto entry = it->second;
            impl_->now = it->first.first;
            impl_->queue.erase(it);
            entry->key.reset();
            if (entry->interval) {
                // Re-queued before the handler runs, so the handler can cancel its own timer.
                ++entry->tick;
                impl_->insertLocked(entry, entry->first + *entry->interval * entry->tick);
                handler = entry->handler;
            } else {
                handler = std::move(entry->handler);
            }
        }
        if (handler) {
            (*handler)();
        }
    }
}

std::chrono::nanoseconds ManualScheduler::now() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->now;
}

std::size_t ManualScheduler::pendingCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->queue.size();
}

} // namespace quillon::platform
