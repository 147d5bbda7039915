#include "Platform/Input/Clipboard/X11SelectionClipboard.hpp"

#include "Platform/Display/X11Connection.hpp"
#include "Platform/Locale/Translation.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

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
using clipboard::Content;
using clipboard::PastePolicy;
using namespace std::chrono_literals;

// The types of our pasted text that promise Latin-1 (or ASCII): offered only for ASCII text.
bool latin1Type(const std::string& type) {
    return type == "STRING" || type == "TEXT" || type == "text/plain";
}

bool ascii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

// Targets that are no data of the clipboard, or that make its owner do something.
bool sideEffectOrMeta(const char* name) {
    return std::strcmp(name, "TARGETS") == 0 || std::strcmp(name, "TIMESTAMP") == 0 ||
           std::strcmp(name, "MULTIPLE") == 0 || std::strcmp(name, "DELETE") == 0 ||
           std::strcmp(name, "SAVE_TARGETS") == 0 || std::strncmp(name, "INSERT_", 7) == 0;
}

} // namespace

struct X11SelectionClipboard::Impl {
    Options options;
    x11::Connection connection;
    Display* dpy = nullptr;
    Window window = 0; // the owner of our selections and the requestor of reads
    int fixesEvent = 0;
    int wake = -1;
    std::string failure;

    Atom clipboardAtom = None, targetsAtom = None, timestampAtom = None, incrAtom = None,
         utf8Atom = None, timeProperty = None;

    // Shared with offerPaste().
    mutable std::mutex mutex;
    std::condition_variable answered;
    struct Job {
        std::string text;
        std::uint64_t id = 0;
        Clock::time_point arrived;
        std::optional<Clock::time_point> usersWaitFrom; // once no earlier paste is unread
    };
    std::optional<Job> pending; // offered, not yet taken by the thread
    std::uint64_t lastJob = 0;
    std::uint64_t doneJob = 0;
    bool doneResult = false;
    bool stopping = false;
    bool lost = false;
    bool unread = false; // the last paste's text has not been read yet
    std::condition_variable pasteWasRead;

    // The thread's own.
    PastePolicy policy{options.timing};
    clipboard::UsersClipboard users;
    std::optional<Job> job; // the offer being served
    Time ownedSince = CurrentTime;
    std::map<std::string, Atom> userTypes; // target -> the type its owner gave, for the restore
    std::map<Atom, std::string> atomNames;

    // A read of the user's clipboard under way: TARGETS first, then every target at once, each
    // into a property of its own (named per read, so a late answer to an earlier read is never
    // taken for this one's).
    struct Part {
        std::string target;
        Atom property = None;
        Atom type = None;
        std::string data;
        bool incr = false;
        bool done = false;
        bool ok = false;
    };
    struct Read {
        std::uint64_t serial = 0;
        unsigned generation = 0;
        Clock::time_point deadline;
        bool listed = false; // TARGETS answered
        Atom listProperty = None;
        std::vector<Part> parts;
        std::size_t total = 0;
    };
    std::optional<Read> read;
    unsigned generation = 0;
    std::thread thread;

    explicit Impl(Options o) : options(std::move(o)), connection(options.display) {
        dpy = connection.get();
        if (dpy == nullptr) {
            failure = connection.error();
            return;
        }
        int fixesError = 0;
        if (!XFixesQueryExtension(dpy, &fixesEvent, &fixesError)) {
            failure = i18n::fill(i18n::tr("the X server at {1} has no XFIXES extension"),
                                 {connection.name()});
            dpy = nullptr;
            return;
        }
        clipboardAtom = atom("CLIPBOARD");
        targetsAtom = atom("TARGETS");
        timestampAtom = atom("TIMESTAMP");
        incrAtom = atom("INCR");
        utf8Atom = atom("UTF8_STRING");
        timeProperty = atom("QUILLON_TIME");
        XSetWindowAttributes a{};
        a.event_mask = PropertyChangeMask;
        window = XCreateWindow(dpy, DefaultRootWindow(dpy), -10, -10, 1, 1, 0, 0, InputOnly,
                               CopyFromParent, CWEventMask, &a);
        XFixesSelectSelectionInput(dpy, DefaultRootWindow(dpy), clipboardAtom,
                                   XFixesSetSelectionOwnerNotifyMask |
                                       XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
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
        if (dpy != nullptr && !connection.lost()) {
            XDestroyWindow(dpy, window);
            XFlush(dpy);
        }
    }

    Atom atom(const char* name) const { return XInternAtom(dpy, name, False); }

    const std::string& nameOf(Atom a) {
        auto it = atomNames.find(a);
        if (it == atomNames.end()) {
            char* name = a != None ? XGetAtomName(dpy, a) : nullptr;
            it = atomNames.emplace(a, name != nullptr ? name : "").first;
            if (name != nullptr) {
                XFree(name);
            }
        }
        return it->second;
    }

    void poke() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake, &one, sizeof one);
    }

    // --- the thread ------------------------------------------------------------------------

    void run() {
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stopping) {
                    return;
                }
                if (!job && pending) {
                    job = std::move(pending);
                    pending.reset();
                }
            }
            handleEvents();
            if (connection.lost()) {
                std::lock_guard lock(mutex);
                lost = true;
                job.reset();
                pending.reset();
                answered.notify_all();
                pasteWasRead.notify_all();
                return;
            }
            const auto now = Clock::now();
            if (read && now >= read->deadline) {
                finishRead();
            }
            startUsersRead(now);
            serveJob(now);
            maybeRestore(Clock::now());
            XFlush(dpy);

            pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {wake, POLLIN, 0}};
            if (XPending(dpy) == 0) {
                ::poll(fds, 2, timeoutMs());
            }
            std::uint64_t drained = 0;
            [[maybe_unused]] const auto n = ::read(wake, &drained, sizeof drained);
        }
    }

    // Until the next thing the thread must do of its own accord.
    int timeoutMs() const {
        std::optional<Clock::time_point> next = policy.nextCheck();
        const auto sooner = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
        if (read) {
            sooner(read->deadline);
        }
        if (job) {
            sooner(job->usersWaitFrom ? *job->usersWaitFrom + options.limits.pasteWait
                                      : job->arrived + options.timing.hold);
        }
        if (!next) {
            return 1000;
        }
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now()).count() + 1;
        return static_cast<int>(std::clamp<long long>(ms, 0, 1000));
    }

    void handleEvents() {
        while (!connection.lost() && XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            handle(ev);
        }
    }

    void handle(const XEvent& ev) {
        if (ev.type == SelectionRequest) {
            answerRequest(ev.xselectionrequest);
        } else if (ev.type == SelectionClear && ev.xselectionclear.selection == clipboardAtom) {
            // Someone copied: theirs from now on, nothing restored over it.
            policy.someoneCopied();
            users.selectionChanged();
            std::lock_guard lock(mutex);
            unread = false;
            pasteWasRead.notify_all();
        } else if (ev.type == fixesEvent + XFixesSelectionNotify) {
            const auto& n = reinterpret_cast<const XFixesSelectionNotifyEvent&>(ev);
            // Our own selections come back here too: only someone else's (or none) is the
            // user's clipboard. Someone taking ours is SelectionClear's.
            if (n.selection == clipboardAtom && n.owner != window &&
                policy.state() == PastePolicy::State::foreign) {
                users.selectionChanged();
            }
        } else if (ev.type == SelectionNotify && ev.xselection.requestor == window) {
            readAnswered(ev.xselection);
        } else if (ev.type == PropertyNotify && ev.xproperty.window == window &&
                   ev.xproperty.state == PropertyNewValue) {
            readChunk(ev.xproperty.atom);
        }
    }

    // --- serving ---------------------------------------------------------------------------

    // What we offer now, by target name, without the types the text cannot be given in.
    const std::string* offeredData(const Content& offered, const std::string& target) const {
        const bool pasting = policy.state() == PastePolicy::State::pasting;
        for (const auto& [type, data] : offered) {
            if (type == target) {
                return pasting && latin1Type(type) && !ascii(data) ? nullptr : &data;
            }
        }
        return nullptr;
    }

    Atom replyType(const std::string& target) {
        if (policy.state() == PastePolicy::State::restored) {
            if (const auto it = userTypes.find(target); it != userTypes.end()) {
                return it->second;
            }
        }
        return target == "TEXT" ? XA_STRING : atom(target.c_str());
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
        const Content* offered = policy.offered();
        if (req.selection == clipboardAtom && req.owner == window && offered != nullptr) {
            if (req.target == targetsAtom) {
                std::vector<Atom> list{targetsAtom, timestampAtom};
                for (const auto& [type, data] : *offered) {
                    if (offeredData(*offered, type) != nullptr) {
                        list.push_back(atom(type.c_str()));
                    }
                }
                XChangeProperty(dpy, req.requestor, into, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(list.data()),
                                static_cast<int>(list.size()));
                reply.property = into;
            } else if (req.target == timestampAtom) {
                const long t = static_cast<long>(ownedSince);
                XChangeProperty(dpy, req.requestor, into, XA_INTEGER, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(&t), 1);
                reply.property = into;
            } else if (const std::string* data = offeredData(*offered, nameOf(req.target));
                       data != nullptr && static_cast<long>(data->size()) < maxBytes - 1024) {
                // Larger data would need an INCR transfer; the request is refused instead.
                XChangeProperty(dpy, req.requestor, into, replyType(nameOf(req.target)), 8,
                                PropModeReplace,
                                reinterpret_cast<const unsigned char*>(data->data()),
                                static_cast<int>(data->size()));
                reply.property = into;
                policy.pasteRead(Clock::now());
            }
        }
        XSendEvent(dpy, req.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
        if (reply.property != None && unreadPaste()) {
            // Keys sent after this reach the application after our answer.
            XSync(dpy, False);
            std::lock_guard lock(mutex);
            unread = false;
            pasteWasRead.notify_all();
        }
        XFlush(dpy);
    }

    bool unreadPaste() {
        std::lock_guard lock(mutex);
        return unread && !policy.awaitingRead();
    }

    // A server timestamp: from the PropertyNotify of an empty append to our own window. Events
    // that come meanwhile are handled as they come.
    Time serverTime() {
        XChangeProperty(dpy, window, timeProperty, XA_STRING, 8, PropModeAppend, nullptr, 0);
        XFlush(dpy);
        const auto deadline = Clock::now() + 2s;
        while (!connection.lost() && Clock::now() < deadline) {
            while (XPending(dpy) > 0) {
                XEvent ev;
                XNextEvent(dpy, &ev);
                if (ev.type == PropertyNotify && ev.xproperty.window == window &&
                    ev.xproperty.atom == timeProperty) {
                    return ev.xproperty.time;
                }
                handle(ev);
            }
            pollfd p{ConnectionNumber(dpy), POLLIN, 0};
            ::poll(&p, 1, 50);
        }
        return CurrentTime;
    }

    // Makes the policy's offer the selection; false when the server gave it to someone else.
    bool own() {
        const Time time = serverTime();
        XSetSelectionOwner(dpy, clipboardAtom, window, time);
        if (XGetSelectionOwner(dpy, clipboardAtom) != window) {
            policy.someoneCopied();
            users.selectionChanged();
            return false;
        }
        ownedSince = time;
        return true;
    }

    // The offer under way, once no earlier paste is left unread (at most the hold) and the user's
    // clipboard is known (at most pasteWait).
    void serveJob(Clock::time_point now) {
        if (!job) {
            return;
        }
        if (!job->usersWaitFrom) {
            if (policy.awaitingRead() && now < job->arrived + options.timing.hold) {
                return; // the last paste's keys have not read its text yet
            }
            job->usersWaitFrom = now;
        }
        const bool needsUsers = policy.needsUsersClipboard();
        if (needsUsers && !users.ready() && now < *job->usersWaitFrom + options.limits.pasteWait) {
            return; // a copy made a moment ago is being read
        }
        std::optional<Content> kept;
        if (needsUsers && users.ready()) {
            kept = users.content();
        }
        policy.beginPaste(job->text, std::move(kept), now, !needsUsers || users.ready());
        const bool ours = own() && policy.state() == PastePolicy::State::pasting;
        std::lock_guard lock(mutex);
        unread = ours;
        doneJob = job->id;
        doneResult = ours;
        job.reset();
        answered.notify_all();
    }

    void maybeRestore(Clock::time_point now) {
        if (!policy.restoreDue(now)) {
            return;
        }
        // A copy made just now must not be covered by the restore: see what the server sent
        // before, its SelectionClear among them.
        XSync(dpy, False);
        handleEvents();
        if (!policy.restoreDue(Clock::now())) {
            return;
        }
        policy.restore();
        {
            std::lock_guard lock(mutex);
            unread = false;
            pasteWasRead.notify_all();
        }
        // Owned anew, so that whoever follows the clipboard sees a new selection.
        own();
    }

    // --- reading the user's clipboard --------------------------------------------------------

    void startUsersRead(Clock::time_point now) {
        if (read || !policy.needsUsersClipboard() || !users.readDue()) {
            return;
        }
        const Window owner = XGetSelectionOwner(dpy, clipboardAtom);
        if (owner == None || owner == window) {
            users.empty();
            return;
        }
        Read r;
        r.serial = users.startRead();
        r.generation = generation++ % 8;
        r.deadline = now + options.limits.readTimeout;
        r.listProperty = atom(("QUILLON_R" + std::to_string(r.generation) + "_T").c_str());
        XDeleteProperty(dpy, window, r.listProperty);
        XConvertSelection(dpy, clipboardAtom, targetsAtom, r.listProperty, window, CurrentTime);
        XFlush(dpy);
        read = std::move(r);
    }

    Part* partFor(Atom property) {
        if (!read) {
            return nullptr;
        }
        for (auto& p : read->parts) {
            if (p.property == property && !p.done) {
                return &p;
            }
        }
        return nullptr;
    }

    void askFor(std::vector<std::string> targets) {
        for (std::size_t i = 0; i < targets.size() && i < options.limits.maxTypes; ++i) {
            Part p;
            p.target = std::move(targets[i]);
            p.property = atom(
                ("QUILLON_R" + std::to_string(read->generation) + "_" + std::to_string(i)).c_str());
            XDeleteProperty(dpy, window, p.property);
            XConvertSelection(dpy, clipboardAtom, atom(p.target.c_str()), p.property, window,
                              CurrentTime);
            read->parts.push_back(std::move(p));
        }
        XFlush(dpy);
        if (read->parts.empty()) {
            finishRead();
        }
    }

    // Takes a property's value off our window (deleting it, which for INCR asks for the next
    // chunk). False when it cannot be read whole within what is left of the budget.
    bool take(Atom property, Atom& type, int& format, std::string& into) {
        const std::size_t left =
            options.limits.maxBytes - std::min(options.limits.maxBytes, read->total + into.size());
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy, window, property, 0, static_cast<long>(left / 4 + 1), True,
                               AnyPropertyType, &type, &format, &items, &after, &data) != Success) {
            return false;
        }
        const std::size_t unit = format == 32 ? sizeof(long) : std::size_t(format / 8);
        if (data != nullptr) {
            into.append(reinterpret_cast<const char*>(data), items * unit);
            XFree(data);
        }
        return after == 0;
    }

    void readAnswered(const XSelectionEvent& ev) {
        if (!read || ev.selection != clipboardAtom) {
            return;
        }
        if (ev.property == read->listProperty && !read->listed) {
            read->listed = true;
            Atom type = None;
            int format = 0;
            std::string list;
            std::vector<std::string> targets;
            if (ev.property != None && take(ev.property, type, format, list) && format == 32) {
                const auto* atoms = reinterpret_cast<const long*>(list.data());
                for (std::size_t i = 0; i < list.size() / sizeof(long); ++i) {
                    const std::string& name = nameOf(static_cast<Atom>(atoms[i]));
                    if (!name.empty() && !sideEffectOrMeta(name.c_str()) &&
                        std::find(targets.begin(), targets.end(), name) == targets.end()) {
                        targets.push_back(name);
                    }
                }
            } else {
                targets.push_back("UTF8_STRING"); // an owner without TARGETS may still have text
            }
            askFor(std::move(targets));
            return;
        }
        if (ev.property == None) {
            // Refused: find the part by its target, which the answer names.
            for (auto& p : read->parts) {
                if (!p.done && atom(p.target.c_str()) == ev.target) {
                    p.done = true;
                    break;
                }
            }
        } else if (Part* p = partFor(ev.property)) {
            int format = 0;
            std::string data;
            if (!take(p->property, p->type, format, data)) {
                p->done = true;
            } else if (p->type == incrAtom) {
                p->incr = true; // the deletion asked for the first chunk
            } else {
                p->done = true;
                p->ok = format == 8;
                p->data = std::move(data);
                read->total += p->data.size();
            }
        }
        XFlush(dpy);
        finishWhenDone();
    }

    void readChunk(Atom property) {
        Part* p = partFor(property);
        if (p == nullptr || !p->incr) {
            return;
        }
        Atom type = None;
        int format = 0;
        std::string chunk;
        if (!take(property, type, format, chunk) || format != 8) {
            p->done = true;
        } else if (chunk.empty()) {
            p->done = true;
            p->ok = true;
            p->type = type;
            read->total += p->data.size();
        } else if (read->total + p->data.size() + chunk.size() > options.limits.maxBytes) {
            p->done = true; // too large to keep
        } else {
            p->data += chunk;
            p->type = type;
        }
        XFlush(dpy);
        finishWhenDone();
    }

    void finishWhenDone() {
        if (read && read->listed &&
            std::all_of(read->parts.begin(), read->parts.end(),
                        [](const Part& p) { return p.done; })) {
            finishRead();
        }
    }

    // Keeps what was read (a target not answered in time is not kept).
    void finishRead() {
        Content content;
        std::map<std::string, Atom> types;
        for (auto& p : read->parts) {
            XDeleteProperty(dpy, window, p.property);
            if (p.ok) {
                types[p.target] = p.type;
                content.emplace_back(std::move(p.target), std::move(p.data));
            }
        }
        XDeleteProperty(dpy, window, read->listProperty);
        const bool current = read->serial == users.serial();
        std::optional<Content> result;
        if (!content.empty()) {
            result = std::move(content);
        }
        users.finishRead(read->serial, std::move(result));
        if (current) {
            userTypes = std::move(types);
            policy.usersArrived(users.content()); // a paste that could not wait for it
        }
        read.reset();
    }
};

void X11SelectionClipboard::awaitPasteRead() {
    if (impl_->dpy == nullptr) {
        return;
    }
    std::unique_lock lock(impl_->mutex);
    impl_->pasteWasRead.wait_for(lock, impl_->options.timing.hold,
                                 [&] { return !impl_->unread || impl_->lost; });
}

X11SelectionClipboard::X11SelectionClipboard(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

X11SelectionClipboard::~X11SelectionClipboard() = default;

bool X11SelectionClipboard::available() const {
    if (impl_->dpy == nullptr) {
        return false;
    }
    std::lock_guard lock(impl_->mutex);
    return !impl_->lost;
}

std::string X11SelectionClipboard::reason() const {
    if (impl_->dpy == nullptr) {
        return impl_->failure;
    }
    std::lock_guard lock(impl_->mutex);
    return impl_->lost ? i18n::fill(i18n::tr("lost the connection to X display {1}"),
                                    {impl_->connection.name()})
                       : std::string();
}

bool X11SelectionClipboard::offerPaste(const std::string& text) {
    if (impl_->dpy == nullptr) {
        return false;
    }
    std::unique_lock lock(impl_->mutex);
    if (impl_->lost) {
        return false;
    }
    const std::uint64_t id = ++impl_->lastJob;
    impl_->pending = Impl::Job{.text = text, .id = id, .arrived = Clock::now()};
    impl_->poke();
    // The thread answers within the hold and pasteWait, plus the server's round trips.
    const auto bound = impl_->options.timing.hold + impl_->options.limits.pasteWait + 3s;
    const bool done =
        impl_->answered.wait_for(lock, bound, [&] { return impl_->doneJob == id || impl_->lost; });
    if (!done && impl_->pending && impl_->pending->id == id) {
        impl_->pending.reset(); // nobody waits for it any more
    }
    return done && impl_->doneJob == id && impl_->doneResult;
}

} // namespace quillon::platform
