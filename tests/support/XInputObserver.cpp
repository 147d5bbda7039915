#include "tests/support/XInputObserver.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>

#include <cstring>

#include <algorithm>
#include <poll.h>
#include <thread>

namespace quillon::testing {

using namespace std::chrono_literals;

XInputObserver::XInputObserver(const std::string& display, bool window) : conn_(display) {
    if (!window) {
        return;
    }
    Display* d = conn_.get();
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    XSetWindowAttributes a{};
    a.override_redirect = True; // no window manager moves or decorates it
    a.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                   PointerMotionMask | StructureNotifyMask;
    window_ = XCreateWindow(d, root, 0, 0, static_cast<unsigned>(DisplayWidth(d, screen)),
                            static_cast<unsigned>(DisplayHeight(d, screen)), 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &a);
    XMapRaised(d, window_);
    XEvent ev;
    do {
        XWindowEvent(d, window_, StructureNotifyMask, &ev);
    } while (ev.type != MapNotify);
    XSetInputFocus(d, window_, RevertToPointerRoot, CurrentTime);
    XSync(d, False);

    // Raw motion of every device carries the scroll valuators' changes as the device sent
    // them (a quarter click stays a quarter).
    xi2_ = std::make_unique<XConnection>(display);
    int event = 0, error = 0, major = 2, minor = 1;
    if (XQueryExtension(xi2_->get(), "XInputExtension", &xiOpcode_, &event, &error) &&
        XIQueryVersion(xi2_->get(), &major, &minor) == Success) {
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawMotion);
        // Master devices only: each raw event once, its source the device that sent it.
        XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
        XISelectEvents(xi2_->get(), DefaultRootWindow(xi2_->get()), &mask, 1);
        XSync(xi2_->get(), False);
    } else {
        xi2_.reset();
    }
}

XInputObserver::~XInputObserver() {
    if (window_ != 0) {
        XDestroyWindow(conn_.get(), window_);
        XSync(conn_.get(), False);
    }
}

XInputObserver::Pointer XInputObserver::pointer() const {
    Window rootRet = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(conn_.get(), DefaultRootWindow(conn_.get()), &rootRet, &child, &rx, &ry, &wx, &wy,
                  &mask);
    return {rx, ry, mask};
}

bool XInputObserver::anyKeyDown() const {
    char keys[32];
    XQueryKeymap(conn_.get(), keys);
    for (const char k : keys) {
        if (k != 0) {
            return true;
        }
    }
    return false;
}

bool XInputObserver::anyButtonDown() const {
    return (pointer().mask &
            (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask)) != 0;
}

bool XInputObserver::keyDown(const std::string& keysymName) const {
    const KeySym sym = XStringToKeysym(keysymName.c_str());
    const KeyCode kc = XKeysymToKeycode(conn_.get(), sym);
    char keys[32];
    XQueryKeymap(conn_.get(), keys);
    return kc != 0 && (keys[kc / 8] & (1 << (kc % 8))) != 0;
}

void XInputObserver::requestPaste(unsigned long time) {
    Display* d = conn_.get();
    XConvertSelection(d, XInternAtom(d, "CLIPBOARD", False), XInternAtom(d, "UTF8_STRING", False),
                      XInternAtom(d, "QUILLON_OBSERVER_PASTE", False), window_, time);
}

void XInputObserver::pumpScroll() {
    if (!xi2_) {
        return;
    }
    Display* d = xi2_->get();
    XSync(d, False);
    while (XPending(d) > 0) {
        XEvent ev;
        XNextEvent(d, &ev);
        if (ev.xcookie.type != GenericEvent || ev.xcookie.extension != xiOpcode_ ||
            !XGetEventData(d, &ev.xcookie)) {
            continue;
        }
        if (ev.xcookie.evtype == XI_RawMotion) {
            const auto* raw = static_cast<const XIRawEvent*>(ev.xcookie.data);
            const int source = raw->sourceid;
            if (scrollAxes_.count(source) == 0) {
                int n = 0;
                std::vector<ScrollAxis> axes;
                if (XIDeviceInfo* info = XIQueryDevice(d, source, &n)) {
                    for (int c = 0; c < info->num_classes; ++c) {
                        if (info->classes[c]->type == XIScrollClass) {
                            const auto* sc =
                                reinterpret_cast<const XIScrollClassInfo*>(info->classes[c]);
                            axes.push_back({sc->number,
                                            sc->scroll_type == XIScrollTypeVertical ? 0 : 1,
                                            sc->increment});
                        }
                    }
                    deviceNames_[source] = info->name;
                    XIFreeDeviceInfo(info);
                }
                scrollAxes_[source] = axes;
            }
            // The mask lists the valuators present; raw_values holds them in order.
            int index = 0;
            for (int v = 0; v < raw->valuators.mask_len * 8; ++v) {
                if (!XIMaskIsSet(raw->valuators.mask, v)) {
                    continue;
                }
                for (const auto& axis : scrollAxes_[source]) {
                    if (axis.number == v && axis.increment != 0) {
                        Record r{};
                        r.kind = Record::scroll;
                        r.axis = axis.axis;
                        r.value = raw->raw_values[index] / axis.increment;
                        r.device = deviceNames_[source];
                        records_.push_back(r);
                    }
                }
                ++index;
            }
        }
        XFreeEventData(d, &ev.xcookie);
    }
}

void XInputObserver::pump() {
    pumpScroll();
    Display* d = conn_.get();
    XSync(d, False);
    while (XPending(d) > 0) {
        XEvent ev;
        XNextEvent(d, &ev);
        Record r{};
        switch (ev.type) {
        case KeyPress:
        case KeyRelease: {
            r.kind = ev.type == KeyPress ? Record::keyPress : Record::keyRelease;
            r.detail = ev.xkey.keycode;
            r.state = ev.xkey.state;
            r.x = ev.xkey.x_root;
            r.y = ev.xkey.y_root;
            // The keysym at the level the state selects (Shift), as an application sees it.
            KeySym sym = NoSymbol;
            char buf[16];
            XLookupString(&ev.xkey, buf, sizeof buf, &sym, nullptr);
            const char* name = XKeysymToString(sym);
            r.keysym = name != nullptr ? name : "";
            if (ev.type == KeyPress && r.keysym == "v" && (r.state & ControlMask) != 0 &&
                window_ != 0) {
                requestPaste(ev.xkey.time);
            }
            break;
        }
        case SelectionNotify: {
            r.kind = Record::paste;
            if (ev.xselection.property != None) {
                Atom type = None;
                int format = 0;
                unsigned long items = 0, after = 0;
                unsigned char* data = nullptr;
                if (XGetWindowProperty(d, window_, ev.xselection.property, 0, 1 << 24, True,
                                       AnyPropertyType, &type, &format, &items, &after,
                                       &data) == Success &&
                    data != nullptr) {
                    if (format == 8) {
                        r.text.assign(reinterpret_cast<const char*>(data), items);
                    }
                    XFree(data);
                }
            }
            break;
        }
        case ButtonPress:
        case ButtonRelease:
            r.kind = ev.type == ButtonPress ? Record::buttonPress : Record::buttonRelease;
            r.detail = ev.xbutton.button;
            r.state = ev.xbutton.state;
            r.x = ev.xbutton.x_root;
            r.y = ev.xbutton.y_root;
            break;
        case MotionNotify:
            r.kind = Record::motion;
            r.state = ev.xmotion.state;
            r.x = ev.xmotion.x_root;
            r.y = ev.xmotion.y_root;
            break;
        case MappingNotify:
            XRefreshKeyboardMapping(&ev.xmapping);
            continue;
        default:
            continue;
        }
        records_.push_back(r);
    }
}

std::vector<XInputObserver::Record>
XInputObserver::waitFor(const std::function<bool(const std::vector<Record>&)>& done,
                        std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pump();
        if (done(records_) || std::chrono::steady_clock::now() >= deadline) {
            return records_;
        }
        std::this_thread::sleep_for(2ms);
    }
}

std::vector<XInputObserver::Record> XInputObserver::settle(std::chrono::milliseconds quiet) {
    auto last = std::chrono::steady_clock::now();
    std::size_t seen = records_.size();
    while (std::chrono::steady_clock::now() - last < quiet) {
        pump();
        if (records_.size() != seen) {
            seen = records_.size();
            last = std::chrono::steady_clock::now();
        }
        std::this_thread::sleep_for(2ms);
    }
    return records_;
}

bool XInputObserver::waitForMotion(int x, int y, std::chrono::milliseconds timeout) {
    Display* d = conn_.get();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (XPending(d) > 0) {
            XEvent ev;
            XNextEvent(d, &ev);
            if (ev.type == MotionNotify && ev.xmotion.x_root == x && ev.xmotion.y_root == y) {
                return true;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    }
}

void XInputObserver::drain() {
    Display* d = conn_.get();
    XSync(d, False);
    while (XPending(d) > 0) {
        XEvent ev;
        XNextEvent(d, &ev);
    }
    records_.clear();
}

void XInputObserver::clear() {
    pump();
    records_.clear();
}

std::vector<XInputObserver::Record> XInputObserver::only(const std::vector<Record>& all,
                                                         Record::Kind kind) {
    std::vector<Record> out;
    for (const auto& r : all) {
        if (r.kind == kind) {
            out.push_back(r);
        }
    }
    return out;
}

} // namespace quillon::testing
