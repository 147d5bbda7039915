#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace quillon::platform {

// The main thread's queue: the user interface, published state and everything the host runs
// "on the main thread". The GUI backs it with its event loop; headless runs and tests with an
// io_context (IoContextMainQueue).
class MainQueue {
public:
    virtual ~MainQueue() = default;
    // Runs `work` later on the main thread; items run in posting order.
    virtual void post(std::function<void()> work) = 0;
    virtual void postAfter(std::chrono::nanoseconds delay, std::function<void()> work) = 0;
    virtual bool isMainThread() const = 0;
};

// A main queue driven by an io_context on the thread that calls run()/runFor(). That thread
// is the main thread from the first run on (or the constructing thread before).
class IoContextMainQueue : public MainQueue {
public:
    IoContextMainQueue();
    ~IoContextMainQueue() override;

    void post(std::function<void()> work) override;
    void postAfter(std::chrono::nanoseconds delay, std::function<void()> work) override;
    bool isMainThread() const override;

    // Runs until stop() (the headless host).
    void run();
    void stop();
    // Runs what is ready and what becomes ready within `duration` (tests).
    void runFor(std::chrono::nanoseconds duration);
    // Runs handlers until `predicate` holds or `timeout` passes; true when it holds (tests).
    bool runUntil(const std::function<bool()>& predicate, std::chrono::nanoseconds timeout);

    asio::io_context& context() noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
