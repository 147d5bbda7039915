#pragma once

#include "tests/support/ChildProcess.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillon::testing {

// A private headless Sway for one test: the headless wlroots backend (software rendering, no
// input devices of its own, no XWayland), a generated configuration, its own runtime directory
// holding its Wayland and IPC sockets, stopped by pid in the destructor.
//
// Sway refuses to run as root. When the test runs as root the fixture makes sure the system
// user "quillon-compositor" exists (creating it once; parallel tests may race to create it,
// which is harmless) and starts Sway as that user; root reaches its sockets regardless.
//
//   SwayServer sway({.outputs = {{"HEADLESS-1", 0, 0, 1600, 900, 1}}});
//   WlrootsInputBackend backend({.display = sway.display(), ...});
class SwayServer {
public:
    struct Output {
        std::string name; // empty: HEADLESS-<n>, the headless backend's name in creation order
        int x = 0;
        int y = 0;
        int width = 1600; // mode, in pixels
        int height = 900;
        int scale = 1;
    };
    struct Options {
        std::vector<Output> outputs{Output{}};
        std::vector<std::string> extraConfig; // more lines for the configuration file
        std::string xkbLayout;                // XKB_DEFAULT_LAYOUT for the compositor; empty: us
    };

    SwayServer();
    explicit SwayServer(Options options);
    ~SwayServer();
    SwayServer(const SwayServer&) = delete;
    SwayServer& operator=(const SwayServer&) = delete;

    // Absolute path of the Wayland socket (what WAYLAND_DISPLAY may hold).
    const std::string& display() const noexcept { return display_; }
    // Sway's IPC socket (what SWAYSOCK holds).
    const std::string& ipcSocket() const noexcept { return ipc_; }
    const std::string& runtimeDir() const noexcept { return runtime_; }
    pid_t pid() const { return sway_ ? sway_->pid() : -1; }
    std::string log() const { return sway_ ? sway_->output() : std::string(); }

    // A command over IPC ("workspace number 2"); the reply's JSON text, or nothing.
    std::optional<std::string> command(const std::string& command) const;
    // GET_WORKSPACES: the name of the focused workspace (empty when unknown).
    std::string focusedWorkspace() const;

    // Ends the compositor now (a compositor going away under its clients).
    void stop();

private:
    Options options_;
    std::unique_ptr<TempDir> dir_;
    std::string runtime_;
    std::string display_;
    std::string ipc_;
    std::unique_ptr<ChildProcess> sway_;
};

} // namespace quillon::testing
