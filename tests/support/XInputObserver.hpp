#pragma once

#include "tests/support/XvfbFixture.hpp"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillon::testing {

// A second X client that watches what input reached the server: the pointer (XQueryPointer),
// which keys and buttons are down, and the key, button and motion events delivered to a
// window of its own that covers the whole screen and holds the input focus. With the window,
// it also records smooth scrolling (XI2 scroll valuators of every device, through a connection
// of its own so the core events above still arrive) and, on Control+V, the CLIPBOARD text as
// an application pastes it.
class XInputObserver {
public:
    struct Record {
        enum Kind { keyPress, keyRelease, buttonPress, buttonRelease, motion, scroll, paste } kind;
        unsigned detail = 0; // button number or keycode
        std::string keysym;  // keysym name of a key event at its level ("c", "Control_L")
        unsigned state = 0;  // modifier and button mask at the time of the event
        int x = 0;           // root coordinates
        int y = 0;
        int axis = 0;       // scroll: 0 vertical, 1 horizontal
        double value = 0;   // scroll: the valuator's change in scroll increments (1 = a click)
        std::string device; // scroll: the device that scrolled
        std::string text;   // paste: the clipboard text
    };
    struct Pointer {
        int x = 0;
        int y = 0;
        unsigned mask = 0; // buttons (Button1Mask...) and modifiers held
    };

    // `window` false: no window, only queries (for tests where another client has the focus).
    explicit XInputObserver(const std::string& display, bool window = true);
    ~XInputObserver();

    Display* display() const { return conn_.get(); }
    Pointer pointer() const;
    // Any key or pointer button down on the server (XQueryKeymap, XQueryPointer).
    bool anyKeyDown() const;
    bool anyButtonDown() const;
    bool keyDown(const std::string& keysymName) const;

    // Collects events until `done` holds for everything collected since the last clear(), or
    // the timeout passes; returns what was collected.
    std::vector<Record> waitFor(const std::function<bool(const std::vector<Record>&)>& done,
                                std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Blocks on the connection (no polling interval: for latency measurements) until a motion
    // to root (x, y) arrives; false when none came within `timeout`. What arrives meanwhile
    // is not recorded.
    bool waitForMotion(int x, int y, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Reads and forgets everything the server has sent so far.
    void drain();
    // Collects until nothing new arrived for `quiet`.
    std::vector<Record> settle(std::chrono::milliseconds quiet = std::chrono::milliseconds(150));
    void clear();

    // Only the records of one kind, or of button/key presses with a given detail.
    static std::vector<Record> only(const std::vector<Record>& all, Record::Kind kind);

private:
    void pump();
    void pumpScroll();
    void requestPaste(unsigned long time);

    XConnection conn_;
    std::unique_ptr<XConnection> xi2_; // smooth scrolling, selected on a connection of its own
    int xiOpcode_ = 0;
    unsigned long window_ = 0;
    std::vector<Record> records_;
    struct ScrollAxis {
        int number;
        int axis;
        double increment;
    };
    std::map<int, std::vector<ScrollAxis>> scrollAxes_; // by source device
    std::map<int, std::string> deviceNames_;
};

} // namespace quillon::testing
