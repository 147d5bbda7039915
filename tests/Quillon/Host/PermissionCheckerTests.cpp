// test-labels: shell
// The permission answer in Linux terms, and the relaunch that starts this binary again through
// /bin/sh with its path quoted.
#include "Platform/Input/UinputDevice.hpp"
#include "Quillon/Host/PermissionChecker.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The backend's answers, real ones from X servers where they can be had, each with its advice.
TEST(PermissionChecker, AnswersWithTheBackendsReasonAndAFix) {
    {
        // The test environment has no DISPLAY.
        const auto s = PermissionChecker::status(platform::InputPermission::check());
        EXPECT_FALSE(s.permitted);
        EXPECT_EQ(s.reason, "no DISPLAY is set");
        EXPECT_NE(s.fix.find("inside your desktop session"), std::string::npos) << s.fix;
    }
    XvfbServer x;
    const auto s = PermissionChecker::status(platform::InputPermission::check(x.display()));
    EXPECT_TRUE(s.permitted);
    EXPECT_EQ(s.reason, "");
    EXPECT_EQ(s.fix, "");
    XvfbServer noXTest({.xtest = false});
    const auto n = PermissionChecker::status(platform::InputPermission::check(noXTest.display()));
    EXPECT_FALSE(n.permitted);
    EXPECT_NE(n.fix.find("XTEST"), std::string::npos) << n.fix;
    // A Wayland session whose compositor offers no input interface Quillon speaks.
    const auto w = PermissionChecker::status(
        {false, "this is a Wayland session (GNOME): GNOME's remote desktop input is not "
                "supported by this build, so input reaches only XWayland windows"});
    EXPECT_FALSE(w.permitted);
    EXPECT_NE(w.fix.find("X11 session"), std::string::npos) << w.fix;
    // The same, where uinput would reach every window but /dev/uinput is not there: the one
    // command that gives it.
    TempDir dir;
    const auto u = PermissionChecker::status(
        {false, w.reason + ". Input through the kernel (uinput) would reach every window, but " +
                    platform::uinputAccessProblem(dir.path() + "/uinput")});
    EXPECT_NE(u.fix.find("sudo scripts/install-uinput-access"), std::string::npos) << u.fix;
}

TEST(PermissionChecker, RelaunchCommandQuotesThePath) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/usr/bin/quillon", R"(sleep 1; exec "/usr/bin/quillon")"},
        {"/opt/My Apps/quillon", R"(sleep 1; exec "/opt/My Apps/quillon")"},
        {R"(/tmp/a"b$c`d\e/q)", R"(sleep 1; exec "/tmp/a\"b\$c\`d\\e/q")"},
    };
    for (const auto& [path, command] : cases) {
        EXPECT_EQ(PermissionChecker::relaunchCommand(path), command);
        EXPECT_EQ(PermissionChecker::relaunchArguments(path),
                  (std::vector<std::string>{"/bin/sh", "-c", command}));
    }
}

// The spawned shell really runs the program at a path with spaces and shell characters, a
// second later, with the relaunch marker in its environment.
TEST(PermissionChecker, RelaunchStartsTheProgramAtAPathWithSpaces) {
    TempDir dir;
    const std::string folder = dir.path() + "/Quillon build $HOME `x` \"q\"";
    std::filesystem::create_directories(folder);
    const std::string program = folder + "/quillon";
    const std::string marker = dir.path() + "/ran";
    {
        std::ofstream script(program);
        script << "#!/bin/sh\necho \"started $" << PermissionChecker::kRelaunchedVariable
               << "\" > '" << marker << "'\n";
    }
    ::chmod(program.c_str(), 0755);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(PermissionChecker::spawnRelaunch(program));
    ASSERT_TRUE(waitUntil([&] { return readFile(marker) == "started 1\n"; }, 10s))
        << readFile(marker);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);
}

} // namespace
