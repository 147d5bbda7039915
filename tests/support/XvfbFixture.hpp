#pragma once

#include "tests/support/ChildProcess.hpp"

#include <memory>
#include <string>
#include <vector>

// Xlib's Display, without pulling <X11/Xlib.h> (and its macros) into every test.
typedef struct _XDisplay Display;

namespace quillon::testing {

// A private X server for one test: Xvfb on a display number it picks itself (-displayfd), with
// -noreset so the server survives its last client leaving, and RandR. Optionally a window
// manager (openbox with a generated configuration and no key or mouse bindings) for the
// EWMH properties (_NET_CURRENT_DESKTOP, _NET_SHOWING_DESKTOP, ...).
//
// Everything is stopped by pid in the destructor. The server does not touch this process's
// DISPLAY: pass display() to whatever needs it (or use the setDisplayEnv() helper).
//
//   XvfbServer x({.width = 1600, .height = 600});
//   x.setMonitors({{"left", 0, 0, 800, 600, false}, {"right", 800, 0, 800, 600, true}});
//   XConnection c(x.display());   // a second client to observe with
class XvfbServer {
public:
    struct Options {
        int width = 1280;
        int height = 800;
        bool windowManager = false; // start openbox and wait until it manages the screen
        int desktops = 4;           // workspaces the window manager creates
        bool xtest = true;          // false: the server runs without the XTest extension
    };

    // A RandR monitor in root coordinates (pixels).
    struct Monitor {
        std::string name;
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        bool primary = false;
    };

    XvfbServer();
    explicit XvfbServer(Options options);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N"
    const std::string& display() const noexcept { return display_; }
    const Options& options() const noexcept { return options_; }

    // Replaces the client-defined RandR monitors with these (the output-backed monitor that
    // covers the whole screen stays, but loses the primary flag when one of these has it).
    void setMonitors(const std::vector<Monitor>& monitors);
    // Sets (or with 0 removes) "Xft.dpi" in the root window's resource database.
    void setXftDpi(int dpi);

    // Stops the window manager and the server now (the destructor does the same).
    void stop();

    pid_t serverPid() const { return server_ ? server_->pid() : -1; }

private:
    void startServer();
    void startWindowManager();

    Options options_;
    std::string display_;
    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<ChildProcess> server_;
    std::unique_ptr<ChildProcess> wm_;
};

// A plain Xlib connection that closes itself; throws std::runtime_error when the display does
// not open.
class XConnection {
public:
    explicit XConnection(const std::string& display);
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;
    Display* get() const noexcept { return dpy_; }
    operator Display*() const noexcept { return dpy_; }

private:
    Display* dpy_ = nullptr;
};

// Sets DISPLAY for this process while alive, restoring the previous value afterwards.
class ScopedDisplayEnv {
public:
    explicit ScopedDisplayEnv(const std::string& display);
    ~ScopedDisplayEnv();
    ScopedDisplayEnv(const ScopedDisplayEnv&) = delete;
    ScopedDisplayEnv& operator=(const ScopedDisplayEnv&) = delete;

private:
    bool had_ = false;
    std::string previous_;
};

} // namespace quillon::testing
