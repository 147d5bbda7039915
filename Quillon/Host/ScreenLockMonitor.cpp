#include "Quillon/Host/ScreenLockMonitor.hpp"

#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Session/SessionLockSource.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>

namespace quillon {

struct ScreenLockMonitor::Shared {
    std::shared_ptr<platform::MainQueue> mainQueue;
    std::function<void()> onLock;
    std::function<void()> onUnlock;
    // Bumped by every start() and stop(); a posted callback runs only if it still matches, so
    // nothing reaches the owner after stop().
    std::atomic<std::uint64_t> generation{0};
    // What each channel said last, and the state last reported. A source calls from its own
    // thread, and a restarted source may use another thread than the one before; the mutex
    // orders them.
    std::mutex mutex;
    std::set<platform::LockChannel> lockedChannels;
    bool lastLocked = false;
};

ScreenLockMonitor::ScreenLockMonitor(std::shared_ptr<platform::SessionLockSource> source,
                                     std::shared_ptr<platform::MainQueue> mainQueue,
                                     std::function<void()> onLock, std::function<void()> onUnlock)
    : shared_(std::make_shared<Shared>()), source_(std::move(source)) {
    shared_->mainQueue = std::move(mainQueue);
    shared_->onLock = std::move(onLock);
    shared_->onUnlock = std::move(onUnlock);
}

ScreenLockMonitor::~ScreenLockMonitor() {
    stop();
}

bool ScreenLockMonitor::isWatching() const noexcept {
    return watching_;
}

int ScreenLockMonitor::watchedChannelCount() const {
    return watching_ ? source_->watchedChannelCount() : 0;
}

void ScreenLockMonitor::start() {
    stop();
    const std::uint64_t generation = ++shared_->generation;
    // The source holds the observer only until its stop(); the weak reference keeps a posted
    // callback from extending the monitor's state past its destruction.
    std::weak_ptr<Shared> weak = shared_;
    source_->start([weak, generation](platform::LockChannel channel, bool channelLocked) {
        auto shared = weak.lock();
        if (!shared) {
            return;
        }
        bool locked = false;
        {
            std::lock_guard lock(shared->mutex);
            if (channelLocked) {
                shared->lockedChannels.insert(channel);
            } else {
                shared->lockedChannels.erase(channel);
            }
            locked = !shared->lockedChannels.empty();
            if (locked == shared->lastLocked) {
                return; // no change: a repeat, or one of several lockers
            }
            shared->lastLocked = locked;
        }
        shared->mainQueue->post([weak, generation, locked] {
            auto s = weak.lock();
            if (!s || s->generation.load() != generation) {
                return;
            }
            const auto& callback = locked ? s->onLock : s->onUnlock;
            if (callback) {
                callback();
            }
        });
    });
    watching_ = true;
}

void ScreenLockMonitor::stop() {
    ++shared_->generation;
    if (!watching_) {
        return;
    }
    source_->stop();
    watching_ = false;
}

} // namespace quillon
