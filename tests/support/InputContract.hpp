#pragma once

// One contract for every display server's input backend: a table of control messages (moves,
// buttons, keys, text, the wheel, release-all) through the host's injector into the backend,
// checked by what a client of that display server sees: the whole sequence of button, key and
// wheel events, what is left down and where the pointer is, so nothing else may happen. A
// fixture says only how to start its server and backend and how to observe; one server start
// runs the whole table. InputContractTests runs it on Xvfb, Sway, KWin and GNOME Shell;
// UinputInputTests on Sway and Xorg inside the virtual machine.

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Input/InputBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include "tests/support/ChildProcess.hpp"

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace quillon::testing {

class WaylandInputObserver;
class XInputObserver;

// What a client of the display server saw since the last look, in common terms: every button,
// key and wheel event in order ("+left", "-left", "+Control_L", "-c", "wheel up"; a run of wheel
// events one way is one entry, as servers split a turn differently), where the pointer is and
// what is still down. Motion is left out of `events`: the servers coalesce it differently, and
// where it ends is `x`, `y`.
struct Seen {
    double x = 0, y = 0;                  // where the pointer is (points of the selected area)
    std::vector<std::string> events;      // in order
    std::set<std::string> down;           // buttons and keys down now
    std::vector<std::string> withControl; // keys other than Control pressed with Control in effect

    void add(std::string event);
};

// What an X client saw, after `quiet` without events (the observer's clock).
Seen lookX11(XInputObserver& observer, std::chrono::milliseconds quiet);
// What a Wayland client window covering the output saw.
Seen lookWayland(WaylandInputObserver& observer, std::chrono::milliseconds quiet);

// A display server with the host's input stack on it. Subclasses start the server and the
// backend, and report what their client window sees.
class ContractServer {
public:
    virtual ~ContractServer() = default;
    virtual const char* name() const = 0;
    virtual platform::InputBackend& backend() = 0;
    virtual std::shared_ptr<const platform::DisplayGeometry> geometry() = 0;
    // Everything delivered since the last look, once the server has handled what was sent.
    virtual Seen look() = 0;

    // The host's injector over the backend (made once the subclass is up).
    void startInjector();
    EventInjector& injector() { return *injector_; }
    platform::Defaults& defaults() { return defaults_; }

private:
    TempDir dir_;
    platform::Defaults defaults_{dir_.path() + "/defaults.json"};
    std::shared_ptr<EventInjector> injector_;
};

// Runs the table on `server`, each case a SCOPED_TRACE of its own.
void runContract(ContractServer& server);

} // namespace quillon::testing
