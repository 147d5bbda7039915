#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>

namespace quillon::platform {
class WindowBus;
}

namespace quillon::shell {

// Runs a WindowBus on Qt's event loop: its descriptor in socket notifiers (writing watched
// only while sd-bus has something queued), its timeout in a timer, and both read again
// before the loop waits, so that a call issued anywhere in this iteration is sent before it
// sleeps. Nothing blocks the GUI thread. `lost` runs once when the session bus connection
// ends. Destroy it before the QApplication and before the bus.
class WindowBusPump {
public:
    WindowBusPump(platform::WindowBus& bus, std::function<void()> lost);
    ~WindowBusPump();
    WindowBusPump(const WindowBusPump&) = delete;
    WindowBusPump& operator=(const WindowBusPump&) = delete;

private:
    void run();
    void rearm();

    platform::WindowBus& bus_;
    std::function<void()> lost_;
    std::unique_ptr<QObject> context_; // owner of the connections: none runs after destruction
    std::unique_ptr<QSocketNotifier> read_;
    std::unique_ptr<QSocketNotifier> write_;
    QTimer timer_;
    bool gone_ = false;
};

} // namespace quillon::shell
