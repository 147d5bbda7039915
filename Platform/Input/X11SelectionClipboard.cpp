#include "Platform/Input/X11SelectionClipboard.hpp"

#include "Platform/Locale/Translation.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillon::platform {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kMaxSaved = 16u << 20; // bytes of the user's clipboard kept for a restore
constexpr auto kQuiet = 200ms;               // requests this far apart end the paste's hold

// One target's value as its owner gave it.
struct Value {
    Atom type = None;
    int format = 8;
    std::vector<unsigned char> bytes;
};

} // namespace

struct X11SelectionClipboard::Impl {
    Options options;
    Display* dpy = nullptr;
    Window window = 0;
    int wake = -1;
    std::string failure;

    Atom clipboard = None, targets = None, timestamp = None, multiple = None, incr = None,
         utf8 = None, text = None, plainUtf8 = None, plain = None, property = None;

    // Shared with the caller of offerPaste().
    std::mutex mutex;
    std::condition_variable done;
    std::optional<std::string> request; // text waiting to be offered
    std::uint64_t requested = 0;        // requests made so far
    std::uint64_t answered = 0;         // the request the answer is for
    bool answer = false;                // the thread's answer to it
    bool stopping = false;

    // The thread's own state.
    std::map<Atom, Value> serving; // what we answer while we own the selection
    Time ownedSince = CurrentTime;
    std::map<Atom, Value> saved; // the user's clipboard, for the restore
    bool restorePending = false;
    Clock::time_point holdUntil{}, lastRequest{}, giveUpAt{};
    std::thread thread;

    explicit Impl(Options o) : options(std::move(o)) {
        dpy = XOpenDisplay(options.display.empty() ? nullptr : options.display.c_str());
        if (dpy == nullptr) {
            const char* env = std::getenv("DISPLAY");
            failure =
                i18n::fill(i18n::tr("cannot connect to X display {1}"),
                           {options.display.empty() ? std::string(env != nullptr ? env : "(unset)")
                                                    : options.display});
            return;
        }
        const auto atom = [&](const char* name) { return XInternAtom(dpy, name, False); };
        clipboard = atom("CLIPBOARD");
        targets = atom("TARGETS");
        timestamp = atom("TIMESTAMP");
        multiple = atom("MULTIPLE");
        incr = atom("INCR");
        utf8 = atom("UTF8_STRING");
        text = atom("TEXT");
        plainUtf8 = atom("text/plain;charset=utf-8");
        plain = atom("text/plain");
        property = atom("QUILLON_SELECTION");
        XSetWindowAttributes a{};
        a.event_mask = PropertyChangeMask;
        window = XCreateWindow(dpy, DefaultRootWindow(dpy), -10, -10, 1, 1, 0, 0, InputOnly,
                               CopyFromParent, CWEventMask, &a);
        XFlush(dpy);
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread = std::thread([this] { run(); });
    }

    ~Impl() {
        if (thread.joinable()) {
            {
                std::lock_guard lock(mutex);
                stopping = true;
            }
            poke();
            thread.join();
        }
        if (wake >= 0) {
            ::close(wake);
        }
        if (dpy != nullptr) {
            XDestroyWindow(dpy, window);
            XCloseDisplay(dpy);
        }
    }

    void poke() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake, &one, sizeof one);
    }

    // --- the thread ------------------------------------------------------------------------

    void run() {
        for (;;) {
            std::optional<std::string> offer;
            std::uint64_t number = 0;
            {
                std::lock_guard lock(mutex);
                if (stopping) {
                    return;
                }
                offer = std::move(request);
                request.reset();
                number = requested;
            }
            if (offer) {
                const bool ok = take(*offer);
                std::lock_guard lock(mutex);
                answer = ok;
                answered = number;
                done.notify_all();
            }
            handleEvents();
            maybeRestore();
            int timeout = -1;
            if (restorePending) {
                const auto next = std::max(holdUntil, lastRequest + kQuiet);
                timeout = static_cast<int>(
                    std::clamp<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::min(next, giveUpAt) - Clock::now())
                                                  .count() +
                                              1,
                                          0, 1000));
            }
            pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {wake, POLLIN, 0}};
            if (XPending(dpy) == 0) {
                ::poll(fds, 2, timeout);
            }
            std::uint64_t drained = 0;
            [[maybe_unused]] const auto n = ::read(wake, &drained, sizeof drained);
        }
    }

    void handleEvents() {
        while (XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            handle(ev);
        }
    }

    void handle(const XEvent& ev) {
        if (ev.type == SelectionRequest) {
            answerRequest(ev.xselectionrequest);
        } else if (ev.type == SelectionClear && ev.xselectionclear.selection == clipboard) {
            // Someone copied: theirs from now on, nothing restored over it.
            serving.clear();
            saved.clear();
            restorePending = false;
        }
    }

    void answerRequest(const XSelectionRequestEvent& req) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = req.display;
        reply.requestor = req.requestor;
        reply.selection = req.selection;
        reply.target = req.target;
        reply.time = req.time;
        reply.property = None;
        // Obsolete clients leave the property out: the target names it then.
        const Atom into = req.property != None ? req.property : req.target;
        const long maxBytes = XExtendedMaxRequestSize(dpy) > 0 ? XExtendedMaxRequestSize(dpy) * 4
                                                               : XMaxRequestSize(dpy) * 4;
        if (req.selection == clipboard && !serving.empty()) {
            if (req.target == targets) {
                std::vector<Atom> list{targets, timestamp};
                for (const auto& [target, value] : serving) {
                    list.push_back(target);
                }
                XChangeProperty(dpy, req.requestor, into, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(list.data()),
                                static_cast<int>(list.size()));
                reply.property = into;
            } else if (req.target == timestamp) {
                const long t = static_cast<long>(ownedSince);
                XChangeProperty(dpy, req.requestor, into, XA_INTEGER, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(&t), 1);
                reply.property = into;
            } else if (const auto it = serving.find(req.target);
                       it != serving.end() &&
                       static_cast<long>(it->second.bytes.size()) < maxBytes - 1024) {
                const Value& v = it->second;
                const int unit = v.format == 32 ? static_cast<int>(sizeof(long)) : v.format / 8;
                XChangeProperty(dpy, req.requestor, into, v.type, v.format, PropModeReplace,
                                v.bytes.data(), static_cast<int>(v.bytes.size()) / unit);
                reply.property = into;
            }
            lastRequest = Clock::now();
        }
        XSendEvent(dpy, req.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
        XFlush(dpy);
    }

    // Waits for an event matching `match` while answering everything else; false on timeout.
    template <typename Match> bool waitFor(XEvent& out, Match&& match, Clock::time_point deadline) {
        for (;;) {
            while (XPending(dpy) > 0) {
                XNextEvent(dpy, &out);
                if (match(out)) {
                    return true;
                }
                handle(out);
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) {
                return false;
            }
            pollfd p{ConnectionNumber(dpy), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
        }
    }

    // A server timestamp: from the PropertyNotify of an empty append to our own window.
    Time serverTime() {
        XChangeProperty(dpy, window, property, XA_STRING, 8, PropModeAppend, nullptr, 0);
        XFlush(dpy);
        XEvent ev;
        if (waitFor(
                ev,
                [&](const XEvent& e) {
                    return e.type == PropertyNotify && e.xproperty.window == window &&
                           e.xproperty.atom == property;
                },
                Clock::now() + 2s)) {
            return ev.xproperty.time;
        }
        return CurrentTime;
    }

    // Reads `target` of the current owner into `value` (INCR transfers included), giving up at
    // `readDeadline`.
    Clock::time_point readDeadline{};
    bool convert(Atom target, Time time, Value& value, std::size_t budget) {
        XDeleteProperty(dpy, window, property);
        XConvertSelection(dpy, clipboard, target, property, window, time);
        XFlush(dpy);
        XEvent ev;
        const auto deadline = std::min(Clock::now() + options.readTimeout, readDeadline);
        if (!waitFor(
                ev,
                [&](const XEvent& e) {
                    return e.type == SelectionNotify && e.xselection.requestor == window;
                },
                deadline) ||
            ev.xselection.property == None) {
            return false;
        }
        const auto read = [&](bool remove, Value& into) {
            Atom type = None;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(dpy, window, property, 0, static_cast<long>(budget / 4 + 1),
                                   remove ? True : False, AnyPropertyType, &type, &format, &items,
                                   &after, &data) != Success) {
                return -1L;
            }
            const std::size_t unit = format == 32 ? sizeof(long) : std::size_t(format / 8);
            if (data != nullptr) {
                into.type = type;
                into.format = format;
                into.bytes.insert(into.bytes.end(), data, data + items * unit);
                XFree(data);
            }
            return after > 0 ? -1L : static_cast<long>(items);
        };
        Value first;
        if (read(false, first) < 0) {
            XDeleteProperty(dpy, window, property);
            return false;
        }
        if (first.type != incr) {
            XDeleteProperty(dpy, window, property);
            XFlush(dpy);
            value = std::move(first);
            return true;
        }
        // INCR: deleting the property asks for the next chunk; an empty one ends it.
        XDeleteProperty(dpy, window, property);
        XFlush(dpy);
        for (;;) {
            if (!waitFor(
                    ev,
                    [&](const XEvent& e) {
                        return e.type == PropertyNotify && e.xproperty.window == window &&
                               e.xproperty.atom == property &&
                               e.xproperty.state == PropertyNewValue;
                    },
                    std::min(Clock::now() + options.readTimeout, readDeadline))) {
                return false;
            }
            Value chunk;
            if (read(true, chunk) < 0) {
                return false;
            }
            XFlush(dpy);
            if (chunk.bytes.empty()) {
                return true;
            }
            value.type = chunk.type;
            value.format = chunk.format;
            value.bytes.insert(value.bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
            if (value.bytes.size() > budget) {
                return false;
            }
        }
    }

    // The current owner's clipboard, target by target.
    std::map<Atom, Value> readClipboard(Time time) {
        readDeadline = Clock::now() + options.readTimeout * 2;
        std::map<Atom, Value> out;
        Value list;
        if (!convert(targets, time, list, 64 * 1024) || list.format != 32) {
            // An owner without TARGETS still has text, perhaps.
            Value v;
            if (convert(utf8, time, v, kMaxSaved)) {
                out[utf8] = std::move(v);
            }
            return out;
        }
        std::size_t total = 0;
        const auto* atoms = reinterpret_cast<const long*>(list.bytes.data());
        const std::size_t n = list.bytes.size() / sizeof(long);
        for (std::size_t i = 0; i < n; ++i) {
            const Atom target = static_cast<Atom>(atoms[i]);
            if (target == targets || target == timestamp || target == multiple || target == None ||
                out.count(target) != 0) {
                continue;
            }
            const char* name = XGetAtomName(dpy, target);
            const bool sideEffect = name != nullptr && (std::strcmp(name, "DELETE") == 0 ||
                                                        std::strcmp(name, "SAVE_TARGETS") == 0 ||
                                                        std::strncmp(name, "INSERT_", 7) == 0);
            if (name != nullptr) {
                XFree(const_cast<char*>(name));
            }
            if (sideEffect) {
                continue;
            }
            Value v;
            if (convert(target, time, v, kMaxSaved - total)) {
                total += v.bytes.size();
                out[target] = std::move(v);
            }
        }
        return out;
    }

    bool take(const std::string& utf8Text) {
        const Time now = serverTime();
        const Window owner = XGetSelectionOwner(dpy, clipboard);
        if (!restorePending) {
            // The user's clipboard; during a paste's hold ours is not theirs: keep what we saved.
            saved = owner != None && owner != window ? readClipboard(now) : serving;
        }
        Value v;
        v.type = utf8;
        v.format = 8;
        v.bytes.assign(utf8Text.begin(), utf8Text.end());
        serving.clear();
        for (const Atom target : {utf8, plainUtf8}) {
            serving[target] = v;
            serving[target].type = target == utf8 ? utf8 : plainUtf8;
        }
        const bool latin1 = std::all_of(utf8Text.begin(), utf8Text.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0x80) == 0;
        });
        if (latin1) {
            for (const Atom target : {XA_STRING, text, plain}) {
                serving[target] = v;
                serving[target].type = target == plain ? plain : XA_STRING;
            }
        }
        const Time ownTime = now != CurrentTime ? now : serverTime();
        XSetSelectionOwner(dpy, clipboard, window, ownTime);
        if (XGetSelectionOwner(dpy, clipboard) != window) {
            serving.clear();
            return false;
        }
        ownedSince = ownTime;
        restorePending = true;
        const auto start = Clock::now();
        holdUntil = start + options.pasteHold;
        lastRequest = start;
        giveUpAt = start + std::max(options.pasteTimeout, options.pasteHold);
        return true;
    }

    void maybeRestore() {
        if (!restorePending) {
            return;
        }
        const auto now = Clock::now();
        if (now < giveUpAt && (now < holdUntil || now - lastRequest < kQuiet)) {
            return;
        }
        restorePending = false;
        if (saved.empty()) {
            serving.clear();
            XSetSelectionOwner(dpy, clipboard, None, CurrentTime);
        } else {
            serving = std::move(saved);
            saved.clear();
        }
        XFlush(dpy);
    }
};

X11SelectionClipboard::X11SelectionClipboard(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

X11SelectionClipboard::~X11SelectionClipboard() = default;

bool X11SelectionClipboard::available() const {
    return impl_->dpy != nullptr;
}

std::string X11SelectionClipboard::reason() const {
    return impl_->failure;
}

bool X11SelectionClipboard::offerPaste(const std::string& text) {
    if (impl_->dpy == nullptr) {
        return false;
    }
    std::unique_lock lock(impl_->mutex);
    impl_->request = text;
    const std::uint64_t number = ++impl_->requested;
    impl_->poke();
    // Reading the user's clipboard takes at most twice the read timeout; the server answers
    // the ownership at once. An answer that comes later is for a request nobody waits for.
    const bool answered =
        impl_->done.wait_for(lock, impl_->options.readTimeout * 2 + std::chrono::seconds(3),
                             [&] { return impl_->answered == number; });
    return answered && impl_->answer;
}

} // namespace quillon::platform
