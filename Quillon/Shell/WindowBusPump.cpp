#include "Quillon/Shell/WindowBusPump.hpp"

#include "Platform/Control/WindowBus.hpp"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <poll.h>

namespace quillon::shell {

WindowBusPump::WindowBusPump(platform::WindowBus& bus, std::function<void()> lost)
    : bus_(bus), lost_(std::move(lost)), context_(std::make_unique<QObject>()) {
    read_ = std::make_unique<QSocketNotifier>(bus_.fd(), QSocketNotifier::Read);
    write_ = std::make_unique<QSocketNotifier>(bus_.fd(), QSocketNotifier::Write);
    write_->setEnabled(false);
    timer_.setSingleShot(true);
    QObject::connect(read_.get(), &QSocketNotifier::activated, context_.get(), [this] { run(); });
    QObject::connect(write_.get(), &QSocketNotifier::activated, context_.get(), [this] { run(); });
    QObject::connect(&timer_, &QTimer::timeout, context_.get(), [this] { run(); });
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, context_.get(),
                         [this] { rearm(); });
    }
    // Whatever arrived before the loop ran (a Show() from a second start) is handled at once.
    timer_.start(0);
}

WindowBusPump::~WindowBusPump() {
    context_.reset();
    timer_.stop();
}

void WindowBusPump::run() {
    if (gone_) {
        return;
    }
    if (!bus_.process()) {
        gone_ = true;
        read_->setEnabled(false);
        write_->setEnabled(false);
        timer_.stop();
        if (lost_) {
            lost_();
        }
        return;
    }
    rearm();
}

void WindowBusPump::rearm() {
    if (gone_) {
        return;
    }
    const bool writing = (bus_.events() & POLLOUT) != 0;
    if (write_->isEnabled() != writing) {
        write_->setEnabled(writing);
    }
    if (const auto timeout = bus_.timeout()) {
        const int ms = static_cast<int>(std::min<long long>(timeout->count(), 1 << 30));
        // Restarted only when it would fire at another time: aboutToBlock comes often.
        if (!timer_.isActive() || timer_.remainingTime() != ms) {
            timer_.start(ms);
        }
    } else if (timer_.isActive()) {
        timer_.stop();
    }
}

} // namespace quillon::shell
