#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace quillon::platform {

// A cancellable timer. cancel() is idempotent and, once it returns on the timer's own queue,
// or once the queue has run past it, guarantees the handler does not run again. Called from
// another thread it may not stop a handler that is already starting. Dropping the handle does
// not cancel the timer (fire and forget); owners that stop keep the handle and cancel it.
class TimerHandle {
public:
    virtual ~TimerHandle() = default;
    virtual void cancel() = 0;
};

// Something that can run handlers later: a SerialQueue for real, a ManualScheduler in tests.
// Deadlines have zero leeway; a repeating timer keeps its period from its first deadline
// (deadline n = first + n x interval), so it does not drift.
class Scheduler {
public:
    virtual ~Scheduler() = default;
    virtual std::shared_ptr<TimerHandle> scheduleOnce(std::chrono::nanoseconds delay,
                                                      std::function<void()> handler) = 0;
    virtual std::shared_ptr<TimerHandle> scheduleRepeating(std::chrono::nanoseconds firstDelay,
                                                           std::chrono::nanoseconds interval,
                                                           std::function<void()> handler) = 0;
};

// A serial queue: one named thread running an io_context. Work submitted with async() runs in
// submission order, one item at a time. The thread's name is the label cut to 15 bytes (the
// kernel's limit). Destroying the queue stops the thread after the item that is running;
// handlers queued later do not run. The host's queues are labelled "quillon-<role>" in at most
// 15 bytes ("quillon-net", "quillon-usb-rd"), so `ps -L` and `top -H` show them whole.
class SerialQueue : public Scheduler {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const noexcept;

    void async(std::function<void()> work);
    // Runs `work` on the queue and waits for it. Called on the queue itself it runs inline
    // (no deadlock), so callers need not know where they are.
    void sync(const std::function<void()>& work);
    // True on this queue's thread.
    bool isCurrent() const noexcept;

    std::shared_ptr<TimerHandle> scheduleOnce(std::chrono::nanoseconds delay,
                                              std::function<void()> handler) override;
    std::shared_ptr<TimerHandle> scheduleRepeating(std::chrono::nanoseconds firstDelay,
                                                   std::chrono::nanoseconds interval,
                                                   std::function<void()> handler) override;

    // The io_context the queue runs, for sockets whose handlers must run on this queue.
    asio::io_context& context() noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A scheduler whose clock only moves when a test moves it: handlers run inside advance(), in
// deadline order, on the calling thread.
class ManualScheduler : public Scheduler {
public:
    ManualScheduler();
    ~ManualScheduler() override;

    std::shared_ptr<TimerHandle> scheduleOnce(std::chrono::nanoseconds delay,
                                              std::function<void()> handler) override;
    std::shared_ptr<TimerHandle> scheduleRepeating(std::chrono::nanoseconds firstDelay,
                                                   std::chrono::nanoseconds interval,
                                                   std::function<void()> handler) override;

    // Moves the clock forward, running every handler whose deadline is reached.
    void advance(std::chrono::nanoseconds by);
    std::chrono::nanoseconds now() const;
    // Timers scheduled and not yet cancelled or finished.
    std::size_t pendingCount() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace quillon::platform
