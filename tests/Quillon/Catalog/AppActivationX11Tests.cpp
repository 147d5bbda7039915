// test-labels: catalog;x11
// test-timeout: 120
// test-language: zh_CN
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Quillon/Catalog/AppCatalogService.hpp"
#include "tests/support/CatalogFixtures.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

// After gtest: Xlib's macros (None, Bool, Status) clash with its templates.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <fstream>
#include <sstream>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

// Reads one 32-bit property of a window (0 when absent).
unsigned long cardinal(Display* d, Window w, const char* name, Atom type) {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    unsigned long value = 0;
    if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 1, False, type, &actual, &format,
                           &count, &after, &data) == Success &&
        data != nullptr && count == 1 && format == 32) {
        value = *reinterpret_cast<unsigned long*>(data);
    }
    if (data != nullptr) {
        XFree(data);
    }
    return value;
}

std::vector<Window> clientList(Display* d) {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<Window> out;
    if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_CLIENT_LIST", False), 0,
                           1024, False, XA_WINDOW, &actual, &format, &count, &after,
                           &data) == Success &&
        data != nullptr) {
        const auto* w = reinterpret_cast<unsigned long*>(data);
        out.assign(w, w + count);
    }
    if (data != nullptr) {
        XFree(data);
    }
    return out;
}

void sendRootMessage(Display* d, Window w, const char* type, long l0, long l1 = 0) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(d, type, False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = l0;
    ev.xclient.data.l[1] = l1;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &ev);
    XFlush(d);
}

class X11ActivationTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path root = dir.path();
    fs::path apps = root / "applications";
    fs::path mark = root / "mark";
    XvfbServer x{XvfbServer::Options{.windowManager = true}};
    ScopedDisplayEnv displayEnv{x.display()};
    XConnection c{x.display()};

    void SetUp() override {
        fs::remove(platform::DiagLog::path());
        writeTextFile(root / "record.sh", "#!/bin/sh\ntouch \"" + mark.string() + "\"\n");
        fs::permissions(root / "record.sh", fs::perms::owner_all);
    }

    Window makeWindow(const char* instance, const char* wmClass) {
        const Window w =
            XCreateSimpleWindow(c, DefaultRootWindow(c.get()), 10, 10, 200, 150, 0, 0, 0);
        XClassHint hint{const_cast<char*>(instance), const_cast<char*>(wmClass)};
        XSetClassHint(c, w, &hint);
        XMapWindow(c, w);
        XFlush(c);
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto list = clientList(c);
                return std::find(list.begin(), list.end(), w) != list.end();
            },
            10s));
        return w;
    }

    Window active() {
        return cardinal(c, DefaultRootWindow(c.get()), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    }
    unsigned long currentDesktop() {
        return cardinal(c, DefaultRootWindow(c.get()), "_NET_CURRENT_DESKTOP", XA_CARDINAL);
    }
    void activateDirectly(Window w) {
        sendRootMessage(c, w, "_NET_ACTIVE_WINDOW", 2);
        ASSERT_TRUE(waitUntil([&] { return active() == w; }, 10s));
    }

    AppCatalogService service() {
        CatalogOptions o;
        o.cacheDirectory = fs::path();
        return AppCatalogService({apps}, o);
    }
    std::string exec() const { return "Exec=" + (root / "record.sh").string() + "\n"; }
};

} // namespace

TEST_F(X11ActivationTest, RunningWindowIsActivatedInsteadOfLaunching) {
    writeDesktopEntry(apps / "org.example.Viewer.desktop",
                      "Name=Viewer\nStartupWMClass=ViewerWin\n" + exec());
    // Without StartupWMClass the desktop ID (any case) names the window class.
    writeDesktopEntry(apps / "other.desktop", "Name=Other\n" + exec());
    const Window viewer = makeWindow("viewer", "ViewerWin");
    const Window other = makeWindow("other-instance", "Other");
    activateDirectly(other);

    service().activate("org.example.Viewer");
    EXPECT_TRUE(waitUntil([&] { return active() == viewer; }, 10s));
    service().activate("other");
    EXPECT_TRUE(waitUntil([&] { return active() == other; }, 10s));

    // A window on another desktop: the desktop is switched too.
    sendRootMessage(c, viewer, "_NET_WM_DESKTOP", 2, 2);
    ASSERT_TRUE(
        waitUntil([&] { return cardinal(c, viewer, "_NET_WM_DESKTOP", XA_CARDINAL) == 2; }, 10s));
    ASSERT_EQ(currentDesktop(), 0u);
    service().activate("org.example.Viewer");
    EXPECT_TRUE(waitUntil([&] { return currentDesktop() == 2 && active() == viewer; }, 10s));

    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fs::exists(mark)) << "a running application was launched again";
    EXPECT_EQ(readFile(platform::DiagLog::path()), "");
}

TEST_F(X11ActivationTest, WindowOfAProcessLaunchedFromTheEntryIsFound) {
    const auto entryFile = apps / "launched.desktop";
    writeDesktopEntry(entryFile, "Name=Launched\n" + exec());
    // A process started from the entry (as GIO marks it), owning a window of unrelated class.
    ChildProcess owner(
        {.argv = {"sleep", "60"}, .env = {{"GIO_LAUNCHED_DESKTOP_FILE", entryFile.string()}}});
    const Window w = makeWindow("unrelated", "Unrelated");
    const long pid = owner.pid();
    XChangeProperty(c, w, XInternAtom(c, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    const Window other = makeWindow("x", "X");
    activateDirectly(other);

    service().activate("launched");
    EXPECT_TRUE(waitUntil([&] { return active() == w; }, 10s));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fs::exists(mark));
}

TEST_F(X11ActivationTest, NotRunningEntryIsLaunchedAndUnknownIdentifierStartsNothing) {
    writeDesktopEntry(apps / "idle.desktop", "Name=Idle\nStartupWMClass=IdleWin\n" + exec());
    makeWindow("busy", "Busy");
    service().activate("idle");
    EXPECT_TRUE(waitUntil([&] { return fs::exists(mark); }, 10s));
    fs::remove(mark);

    service().activate("org.example.Unknown");
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fs::exists(mark));
    EXPECT_NE(readFile(platform::DiagLog::path())
                  .find("【应用切换】找不到 bundleID=org.example.Unknown 对应的已安装应用，忽略"),
              std::string::npos);
}
