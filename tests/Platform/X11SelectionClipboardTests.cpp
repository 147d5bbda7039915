// test-labels: x11;injection;concurrency
// test-timeout: 120
// The X selection as the paste path for text a keyboard layout lacks, on a private Xvfb: the
// pasted text is what an application reads, and afterwards the user's clipboard is back (every
// target, text or not), an empty text when there was none, never over a copy made meanwhile; a
// paste never waits long for a slow owner, and never takes the place of one not read yet.
#include <gtest/gtest.h>

#include "Platform/Input/Clipboard/X11SelectionClipboard.hpp"

#include "tests/support/XvfbFixture.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <atomic>
#include <map>
#include <optional>
#include <poll.h>
#include <thread>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using platform::X11SelectionClipboard;

// Another application of the user's session: owns CLIPBOARD with some targets and answers
// requests on a thread of its own until it loses the selection or ends.
class ClipboardOwner {
public:
    // `answers` false: an owner that never answers (busy, hung).
    ClipboardOwner(const std::string& display, std::map<std::string, std::string> targets,
                   bool answers = true)
        : dpy_(XOpenDisplay(display.c_str())), answers_(answers) {
        window_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 1, 1, 0, 0, 0);
        for (const auto& [name, value] : targets) {
            targets_[XInternAtom(dpy_, name.c_str(), False)] = value;
        }
        XSetSelectionOwner(dpy_, XInternAtom(dpy_, "CLIPBOARD", False), window_, CurrentTime);
        XSync(dpy_, False);
        thread_ = std::thread([this] { serve(); });
    }
    ~ClipboardOwner() {
        stop_ = true;
        thread_.join();
        XDestroyWindow(dpy_, window_);
        XCloseDisplay(dpy_);
    }
    bool lost() const { return lost_; }

private:
    void serve() {
        const Atom targetsAtom = XInternAtom(dpy_, "TARGETS", False);
        while (!stop_) {
            while (XPending(dpy_) > 0) {
                XEvent ev;
                XNextEvent(dpy_, &ev);
                if (ev.type == SelectionClear) {
                    lost_ = true;
                } else if (ev.type == SelectionRequest && answers_) {
                    const auto& req = ev.xselectionrequest;
                    XSelectionEvent reply{};
                    reply.type = SelectionNotify;
                    reply.requestor = req.requestor;
                    reply.selection = req.selection;
                    reply.target = req.target;
                    reply.time = req.time;
                    if (req.target == targetsAtom) {
                        std::vector<Atom> list{targetsAtom};
                        for (const auto& [atom, value] : targets_) {
                            list.push_back(atom);
                        }
                        XChangeProperty(dpy_, req.requestor, req.property, XA_ATOM, 32,
                                        PropModeReplace,
                                        reinterpret_cast<unsigned char*>(list.data()),
                                        static_cast<int>(list.size()));
                        reply.property = req.property;
                    } else if (const auto it = targets_.find(req.target); it != targets_.end()) {
                        XChangeProperty(dpy_, req.requestor, req.property, req.target, 8,
                                        PropModeReplace,
                                        reinterpret_cast<const unsigned char*>(it->second.data()),
                                        static_cast<int>(it->second.size()));
                        reply.property = req.property;
                    }
                    XSendEvent(dpy_, req.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
                    XFlush(dpy_);
                }
            }
            pollfd p{ConnectionNumber(dpy_), POLLIN, 0};
            ::poll(&p, 1, 20);
        }
    }

    Display* dpy_;
    bool answers_;
    Window window_ = 0;
    std::map<Atom, std::string> targets_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> lost_{false};
    std::thread thread_;
};

// What an application pasting `target` gets: nothing when there is no owner or it refuses.
std::optional<std::string> paste(const std::string& display, const std::string& target) {
    testing::XConnection conn(display);
    Display* d = conn.get();
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const Atom prop = XInternAtom(d, "PASTED", False);
    XConvertSelection(d, XInternAtom(d, "CLIPBOARD", False), XInternAtom(d, target.c_str(), False),
                      prop, w, CurrentTime);
    XFlush(d);
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    std::optional<std::string> out;
    while (std::chrono::steady_clock::now() < deadline) {
        XEvent ev;
        if (XCheckTypedWindowEvent(d, w, SelectionNotify, &ev)) {
            if (ev.xselection.property != None) {
                Atom type = None;
                int format = 0;
                unsigned long n = 0, after = 0;
                unsigned char* data = nullptr;
                XGetWindowProperty(d, w, prop, 0, 1 << 20, True, AnyPropertyType, &type, &format,
                                   &n, &after, &data);
                if (data != nullptr) {
                    out = std::string(reinterpret_cast<char*>(data), n);
                    XFree(data);
                }
            }
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    XDestroyWindow(d, w);
    return out;
}

X11SelectionClipboard::Options quick(const std::string& display) {
    return {.display = display,
            .timing = {.hold = 300ms, .quiet = 100ms, .timeout = 2s},
            .limits = {.readTimeout = 1s, .pasteWait = 300ms}};
}

TEST(X11SelectionClipboard, PastedTextIsReadExactlyAndTheUsersClipboardComesBackWhole) {
    testing::XvfbServer x;
    const std::string png("\x89PNG\r\n\x1a\n\0\0binary", 17);
    ClipboardOwner app(x.display(), {{"UTF8_STRING", "the user's text"}, {"image/png", png}});
    X11SelectionClipboard clipboard(quick(x.display()));
    ASSERT_TRUE(clipboard.available()) << clipboard.reason();
    std::this_thread::sleep_for(200ms); // the user's clipboard is read as the transport starts

    ASSERT_TRUE(clipboard.offerPaste("héllo wörld €😀 中文"));
    EXPECT_EQ(paste(x.display(), "UTF8_STRING"), "héllo wörld €😀 中文");
    EXPECT_EQ(paste(x.display(), "text/plain;charset=utf-8"), "héllo wörld €😀 中文");
    // Text beyond ASCII is not offered as Latin-1 STRING.
    EXPECT_EQ(paste(x.display(), "STRING"), std::nullopt);
    EXPECT_TRUE(testing::waitUntil([&] { return app.lost(); }, 2s));

    // Once pastes have been quiet past the hold, the user's clipboard is back, every target.
    EXPECT_TRUE(testing::waitUntil(
        [&] { return paste(x.display(), "UTF8_STRING") == "the user's text"; }, 5s));
    EXPECT_EQ(paste(x.display(), "image/png"), png);

    // A second paste keeps the user's clipboard (not our pasted text) for the next restore.
    ASSERT_TRUE(clipboard.offerPaste("abc"));
    EXPECT_EQ(paste(x.display(), "STRING"), "abc");
    EXPECT_TRUE(testing::waitUntil(
        [&] { return paste(x.display(), "UTF8_STRING") == "the user's text"; }, 5s));
}

TEST(X11SelectionClipboard, WithoutAClipboardBeforeThePastedTextDoesNotStay) {
    testing::XvfbServer x;
    X11SelectionClipboard clipboard(quick(x.display()));
    ASSERT_TRUE(clipboard.offerPaste("a password"));
    EXPECT_EQ(paste(x.display(), "UTF8_STRING"), "a password");
    // An empty text takes its place (nothing to give back; letting go would keep nothing either).
    EXPECT_TRUE(testing::waitUntil(
        [&] { return paste(x.display(), "UTF8_STRING").value_or("?") == ""; }, 5s));
}

// The owner of the user's clipboard never answers: the paste waits for it no longer than
// pasteWait, and what could not be read is not given back (an empty text is).
TEST(X11SelectionClipboard, ASilentOwnerDelaysThePasteOnlyBriefly) {
    testing::XvfbServer x;
    ClipboardOwner hung(x.display(), {{"UTF8_STRING", "unreadable"}}, false);
    X11SelectionClipboard clipboard(quick(x.display()));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(clipboard.offerPaste("quick"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(paste(x.display(), "UTF8_STRING"), "quick");
    EXPECT_TRUE(testing::waitUntil(
        [&] { return paste(x.display(), "UTF8_STRING").value_or("?") == ""; }, 5s));
}

// Two texts pasted one after the other (a long text goes in runs): the second waits until the
// first has been read, so the first paste keys never read the second text.
TEST(X11SelectionClipboard, ThePasteAfterOneNotYetReadWaitsForItsRead) {
    testing::XvfbServer x;
    X11SelectionClipboard clipboard(quick(x.display()));
    ASSERT_TRUE(clipboard.offerPaste("first"));
    std::optional<std::string> firstRead;
    std::thread application([&] {
        std::this_thread::sleep_for(150ms); // the application takes its time with Control+V
        firstRead = paste(x.display(), "UTF8_STRING");
    });
    ASSERT_TRUE(clipboard.offerPaste("second"));
    application.join();
    EXPECT_EQ(firstRead, "first");
    EXPECT_EQ(paste(x.display(), "UTF8_STRING"), "second");
}

TEST(X11SelectionClipboard, ACopyMadeMeanwhileIsNotOverwritten) {
    testing::XvfbServer x;
    auto first = std::make_unique<ClipboardOwner>(
        x.display(), std::map<std::string, std::string>{{"UTF8_STRING", "old"}});
    X11SelectionClipboard clipboard(quick(x.display()));
    ASSERT_TRUE(clipboard.offerPaste("pasted"));
    first.reset();
    ClipboardOwner copy(x.display(), {{"UTF8_STRING", "copied meanwhile"}});
    std::this_thread::sleep_for(1500ms); // past the hold and the quiet time
    EXPECT_EQ(paste(x.display(), "UTF8_STRING"), "copied meanwhile");
    EXPECT_FALSE(copy.lost());
    // That copy is the user's clipboard now (read when it was made): the next paste gives it back.
    ASSERT_TRUE(clipboard.offerPaste("pasted again"));
    EXPECT_EQ(paste(x.display(), "UTF8_STRING"), "pasted again");
    EXPECT_TRUE(testing::waitUntil(
        [&] { return paste(x.display(), "UTF8_STRING") == "copied meanwhile"; }, 5s));
}

// Keys typed after a paste wait until the application has read it, so they come after the
// pasted text; with nothing unread, typing does not wait.
TEST(X11SelectionClipboard, TypingAfterAPasteWaitsForItsRead) {
    testing::XvfbServer x;
    X11SelectionClipboard clipboard(quick(x.display()));
    ASSERT_TRUE(clipboard.offerPaste("pasted"));
    std::thread application([&] {
        std::this_thread::sleep_for(200ms);
        paste(x.display(), "UTF8_STRING");
    });
    auto start = std::chrono::steady_clock::now();
    clipboard.awaitPasteRead();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    application.join();
    start = std::chrono::steady_clock::now();
    clipboard.awaitPasteRead();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
}

TEST(X11SelectionClipboard, NoServerIsSaidPlainly) {
    X11SelectionClipboard clipboard({.display = ":9876"});
    EXPECT_FALSE(clipboard.available());
    EXPECT_EQ(clipboard.reason(), "cannot connect to X display :9876");
    EXPECT_FALSE(clipboard.offerPaste("x"));
}

} // namespace
} // namespace quillon
