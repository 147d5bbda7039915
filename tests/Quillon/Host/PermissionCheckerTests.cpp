// test-labels: shell
// The permission guide for the session (real X servers where the answer depends on one), and
// the relaunch that starts this binary again through
// /bin/sh with its path quoted.
#include "Quillon/Host/PermissionChecker.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

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

// Which situation the guide speaks to: the session's backend first, for X11 how far a real
// connection gets (no DISPLAY, a display naming no server, a server without XTEST, a usable
// one).
TEST(PermissionGuide, SituationFollowsTheSessionAndTheXServer) {
    using S = PermissionGuide::Situation;
    using K = platform::InputBackendKind;
    EXPECT_EQ(platform::probeX11(), platform::X11Access::noDisplay); // the tests have none
    EXPECT_EQ(platform::probeX11(":97"), platform::X11Access::unreachable);
    XvfbServer x;
    EXPECT_EQ(platform::probeX11(x.display()), platform::X11Access::usable);
    XvfbServer noXTest({.xtest = false});
    EXPECT_EQ(platform::probeX11(noXTest.display()), platform::X11Access::noXTest);

    const struct {
        K kind;
        bool refused;
        platform::X11Access x11;
        S expected;
    } cases[] = {
        {K::x11, false, platform::X11Access::noDisplay, S::x11NoDisplay},
        {K::x11, false, platform::X11Access::unreachable, S::x11Unreachable},
        {K::x11, false, platform::X11Access::noXTest, S::x11NoXTest},
        {K::x11, false, platform::X11Access::usable, S::other},
        {K::x11, true, platform::X11Access::usable, S::waylandNothing},
        {K::gnome, false, platform::X11Access::usable, S::gnome},
        {K::kde, false, platform::X11Access::usable, S::kde},
        {K::wlroots, false, platform::X11Access::usable, S::wlroots},
        {K::uinput, false, platform::X11Access::noDisplay, S::uinput},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(situationOf(c.kind, c.refused, c.x11), c.expected)
            << static_cast<int>(c.kind) << " " << c.refused << " " << static_cast<int>(c.x11);
    }
}

// Every situation has concrete steps of its own; only KDE's offers to write the grant, and the
// steps say what the situation needs, not where a document is.
TEST(PermissionGuide, EachSituationHasItsOwnSteps) {
    using S = PermissionGuide::Situation;
    const std::pair<S, const char*> cases[] = {
        {S::x11NoDisplay, "import-environment DISPLAY"},
        {S::x11Unreachable, "XAUTHORITY"},
        {S::x11NoXTest, "-extension XTEST"},
        {S::waylandNothing, "inputBackend x11"},
        {S::gnome, "GNOME session"},
        {S::kde, "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input"},
        {S::wlroots, "zwlr_virtual_pointer_manager_v1"},
        {S::uinput, "sudo scripts/install-uinput-access"},
        {S::other, "Restart Quillon"},
    };
    for (const auto& [situation, needle] : cases) {
        const auto g = guideFor(situation, "/usr/bin/quillon");
        std::string all;
        for (const auto& step : g.steps) {
            all += step + "\n";
        }
        EXPECT_NE(all.find(needle), std::string::npos) << static_cast<int>(situation) << all;
        EXPECT_EQ(all.find("README"), std::string::npos) << all;
        EXPECT_EQ(g.offersKdeGrant, situation == S::kde);
    }
    const auto granted = PermissionChecker::status({true, {}}, S::kde);
    EXPECT_TRUE(granted.permitted);
    EXPECT_TRUE(granted.guide.steps.empty());
}

// The entry the KDE button writes is a valid desktop entry that names this binary, quoted
// when its path needs it.
TEST(PermissionGuide, KdeGrantIsAValidDesktopEntry) {
    TempDir dir;
    for (const std::string path : {"/usr/bin/quillon", "/opt/My Apps/quillon"}) {
        const std::string file = dir.path() + "/quillon.desktop";
        {
            std::ofstream out(file);
            out << kdeGrantEntry(path);
        }
        ChildProcess::Options o;
        o.argv = {"desktop-file-validate", file};
        o.outputFile = dir.path() + "/validate.txt";
        ChildProcess validate(o);
        const auto status = validate.wait(30s);
        ASSERT_TRUE(status && WIFEXITED(*status)) << validate.output();
        EXPECT_EQ(WEXITSTATUS(*status), 0) << validate.output();
        EXPECT_EQ(validate.output(), "") << path;
        const auto text = readFile(file);
        EXPECT_NE(text.find("X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n"),
                  std::string::npos);
        EXPECT_NE(text.find("Exec=\"" + path + "\"\n"), std::string::npos) << text;
    }
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
