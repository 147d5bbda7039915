#pragma once

#include "tests/support/ChildProcess.hpp"
#include "tests/support/DbusFixture.hpp"

#include <memory>
#include <optional>
#include <string>

namespace quillon::testing {

// A private headless GNOME Shell for one test: `gnome-shell --wayland --headless --no-x11
// --virtual-monitor WxH` with its own runtime, configuration and data directories, its own
// session bus, a stand-in logind (python3-dbusmock's template) on a private system bus, and
// (by default) a PipeWire daemon for screen cast streams. Everything is stopped by pid in the
// destructor, the shell first.
//
// GSettings run on the memory backend: no dconf service is started, and the developer's
// settings never reach the shell.
class GnomeShellServer {
public:
    struct Options {
        int width = 1600;
        int height = 900;
        bool pipewire = true; // without it, Mutter cannot start screen cast streams
    };

    GnomeShellServer();
    explicit GnomeShellServer(Options options);
    ~GnomeShellServer();
    GnomeShellServer(const GnomeShellServer&) = delete;
    GnomeShellServer& operator=(const GnomeShellServer&) = delete;

    // Absolute path of the Wayland socket.
    const std::string& display() const noexcept { return display_; }
    // The shell's session bus.
    const std::string& busAddress() const noexcept { return sessionBus_->address(); }
    pid_t pid() const { return shell_ ? shell_->pid() : -1; }
    std::string log() const { return shell_ ? shell_->output() : std::string(); }

    // Ends the shell (the compositor going away under its clients); idempotent.
    void stop();

private:
    Options options_;
    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<DbusFixture> sessionBus_;
    std::unique_ptr<DbusFixture> systemBus_;
    std::unique_ptr<ChildProcess> logind_;
    std::unique_ptr<ChildProcess> pipewire_;
    std::string display_;
    std::unique_ptr<ChildProcess> shell_;
};

// The clipboard as another program of the session sees it, through a remote desktop session of
// its own on the shell's bus: it reads the selection (as a paste would) and can own it with a
// text (the user's clipboard before a test). A thread of its own answers the shell's requests
// for that text, so the code under test may read it while the test waits.
class GnomeClipboardPeer {
public:
    explicit GnomeClipboardPeer(const std::string& busAddress);
    ~GnomeClipboardPeer();
    GnomeClipboardPeer(const GnomeClipboardPeer&) = delete;
    GnomeClipboardPeer& operator=(const GnomeClipboardPeer&) = delete;

    // Owns the selection with `text` (as text/plain;charset=utf-8).
    void own(const std::string& text);
    // The selection as UTF-8 text; nothing when there is none or it is not text.
    std::optional<std::string> read();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::testing
