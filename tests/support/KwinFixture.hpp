#pragma once

#include "tests/support/ChildProcess.hpp"
#include "tests/support/DbusFixture.hpp"

#include <memory>
#include <string>
#include <vector>

namespace quillon::testing {

// A private headless KWin for one test: `kwin_wayland --virtual` on its own session bus,
// runtime, configuration and data directories, stopped by pid in the destructor.
//
// KWin runs from a plain copy of its binary: Debian's carries a file capability that a
// restricted sandbox may refuse to exec, and a copy has none. (The copy keeps the name
// kwin_wayland: KWin's Qt platform plugin loads only into a program of that name.)
// KWin offers org_kde_kwin_fake_input only to executables a desktop entry grants it: the
// fixture installs one in its data directory for `granted` (by default this test program).
class KwinServer {
public:
    struct Options {
        int width = 1600;
        int height = 900;
        int desktops = 4;
        bool grantFakeInput = true; // install the desktop entry for `granted`
        std::string granted;        // empty: this test program (/proc/self/exe)
    };

    KwinServer();
    explicit KwinServer(Options options);
    ~KwinServer();
    KwinServer(const KwinServer&) = delete;
    KwinServer& operator=(const KwinServer&) = delete;

    // Absolute path of the Wayland socket.
    const std::string& display() const noexcept { return display_; }
    // KWin's session bus.
    const std::string& busAddress() const noexcept { return bus_->address(); }
    pid_t pid() const { return kwin_ ? kwin_->pid() : -1; }
    std::string log() const { return kwin_ ? kwin_->output() : std::string(); }

    void stop();

private:
    Options options_;
    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<DbusFixture> bus_;
    std::string display_;
    std::unique_ptr<ChildProcess> kwin_;
};

} // namespace quillon::testing
