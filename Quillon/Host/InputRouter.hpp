#pragma once

#include "Quillon/Input/EventInjector.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace quillon::platform {
class MainQueue;
}

namespace quillon {

class InputDiagnostics;
class InputGate;
class InputLanes;

// Where an admitted device's message goes.
enum class InputRoute {
    immediate, // short input (moves, buttons, keys, scroll, gestures, short text): injected on
               // the delivering thread, or in the device's lane when input waits there
    pieces,    // text longer than one piece: typed a piece per turn on the input worker
    mainLane,  // input that must run on the main thread (multi-click, modes, sticky modifiers):
               // its place in the device's lane holds back what the device sent after it
    request,   // the catalog's requests (application list, activation): no input, no order
};

// The route of `message`. A pure function: the routing rules as a table.
InputRoute inputRouteOf(const wire::ControlMessage& message) noexcept;

// Text is typed in pieces of this many characters, the gate looked at before each and the
// injector free between them.
inline constexpr std::size_t kTextPieceCharacters = 20;
// The end of the piece of at most kTextPieceCharacters characters of `text` that starts at
// `from` (a character boundary: UTF-8 continuation bytes are never split).
std::size_t textPieceEnd(const std::string& text, std::size_t from) noexcept;

// The input routing of the host: every admitted device's messages, from either transport, to
// the injector in the order the device sent them (per-device lanes), behind the gate the screen
// lock closes, long text typed piecewise on the input worker, and the catalog's requests handed
// to the main queue. Input of one read is flushed to the display server once, after its last
// message.
//
// dispatch()/dispatchBurst() run on the delivering thread (a transport's I/O queue); the rest
// on the main queue.
class InputRouter : public std::enable_shared_from_this<InputRouter> {
public:
    struct Collaborators {
        std::shared_ptr<EventInjector> injector;
        std::shared_ptr<InputGate> gate;
        std::shared_ptr<platform::MainQueue> mainQueue;
        // One lane per device; its worker types long text a piece per turn.
        std::shared_ptr<InputLanes> lanes;
        // Logs and times what is injected.
        std::shared_ptr<InputDiagnostics> diagnostics;
        // The catalog's requests of an admitted device (main queue, after the lock was looked
        // at).
        std::function<void(const wire::ControlMessage&, const std::string& deviceID)> requests;
    };
    static std::shared_ptr<InputRouter> create(Collaborators collaborators);
    ~InputRouter();

    void dispatch(const wire::ControlMessage& message, const std::string& deviceID);
    // The messages of one read: each routed, their input flushed once after the last.
    void dispatchBurst(std::span<const wire::ControlMessage> messages, const std::string& deviceID);

    // A device is gone: nothing more of it is typed, and every held key and button goes up.
    void releaseDevice(const std::string& deviceID);
    // The screen locked (the gate is closed already): typing and lanes stop, keys go up.
    void stopAll();
    // Every held key and button goes up (the host stops).
    void releaseAll();
    // True when input would be dropped now (any thread).
    bool gated() const noexcept;

private:
    explicit InputRouter(Collaborators collaborators);

    // What injectNow() did with a message: sent it out at once with its flush done or left to
    // a later message, or handed it on (a lane, the main thread, the worker) or dropped it.
    enum class Injected { flushed, pending, no };
    Injected injectNow(const wire::ControlMessage& message, const std::string& deviceID,
                       EventInjector::Flush flush);
    void inject(const wire::ControlMessage& message, EventInjector::Flush flush);
    void onMain(const wire::ControlMessage& message, const std::string& deviceID);

    Collaborators c_;
};

} // namespace quillon
