#pragma once

#include "Platform/Dispatch/MainQueue.hpp"

#include <QObject>

#include <mutex>

namespace quillon::shell {

// The main queue on Qt's event loop: work posted from any thread runs on the GUI thread, in
// posting order. Once detach() has run (the application is going away), posted work is
// dropped instead of reaching a dead loop.
class QtMainQueue : public platform::MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;

    void post(std::function<void()> work) override;
    void postAfter(std::chrono::nanoseconds delay, std::function<void()> work) override;
    bool isMainThread() const override;
    void detach();

private:
    mutable std::mutex mutex_;
    QObject* context_;
};

} // namespace quillon::shell
