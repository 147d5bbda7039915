#include "Quillon/Shell/QtMainQueue.hpp"

#include <QThread>
#include <QTimer>

namespace quillon::shell {

QtMainQueue::QtMainQueue() : context_(new QObject) {}

QtMainQueue::~QtMainQueue() {
    detach();
}

void QtMainQueue::detach() {
    std::lock_guard lock(mutex_);
    delete context_; // pending queued calls to it are discarded by Qt
    context_ = nullptr;
}

void QtMainQueue::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (context_ != nullptr) {
        QMetaObject::invokeMethod(context_, std::move(work), Qt::QueuedConnection);
    }
}

void QtMainQueue::postAfter(std::chrono::nanoseconds delay, std::function<void()> work) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay);
    // Timers belong to the thread that starts them: start this one on the main thread.
    post([this, ms, work = std::move(work)]() mutable {
        std::lock_guard lock(mutex_);
        if (context_ != nullptr) {
            QTimer::singleShot(ms, context_, std::move(work));
        }
    });
}

bool QtMainQueue::isMainThread() const {
    std::lock_guard lock(mutex_);
    return context_ != nullptr && QThread::currentThread() == context_->thread();
}

} // namespace quillon::shell
