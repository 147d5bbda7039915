// test-labels: e2e;shell
// test-timeout: 600
// What `cmake --install` puts into a prefix and what the Debian package declares.
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

using namespace quillon::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Ran {
    int status = -1;
    std::string output;
};

Ran run(const std::vector<std::string>& argv, const std::string& dir,
        std::chrono::milliseconds timeout = 120s) {
    static int counter = 0;
    ChildProcess::Options o;
    o.argv = argv;
    o.outputFile = dir + "/out-" + std::to_string(++counter) + ".txt";
    ChildProcess child(o);
    const auto status = child.wait(timeout);
    return {status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, child.output()};
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Install, PutsTheProgramAndItsDesktopFilesIntoThePrefix) {
    TempDir dir;
    const std::string prefix = dir.path() + "/prefix";
    const auto install =
        run({"cmake", "--install", QUILLON_BINARY_DIR, "--prefix", prefix}, dir.path());
    ASSERT_EQ(install.status, 0) << install.output;
    for (const char* file :
         {"bin/quillon", "share/applications/quillon.desktop",
          "share/icons/hicolor/scalable/apps/quillon.svg",
          "share/icons/hicolor/scalable/apps/quillon-connected.svg",
          "share/icons/hicolor/scalable/apps/quillon-attention.svg",
          "share/metainfo/com.corvane.Quillon.metainfo.xml", "share/man/man1/quillon.1.gz",
          "share/doc/quillon/copyright", "share/doc/quillon/changelog.gz",
          "share/doc/quillon/README.md", "share/locale/zh_CN/LC_MESSAGES/quillon.mo",
          "share/locale/en/LC_MESSAGES/quillon.mo", "share/quillon/quillon-autostart.desktop",
          "lib/systemd/user/quillon.service", "lib/udev/rules.d/70-quillon-uinput.rules",
          "lib/modules-load.d/quillon.conf"}) {
        EXPECT_TRUE(fs::exists(fs::path(prefix) / file)) << file << "\n" << install.output;
    }
    // Input through the kernel: the seat's user gets /dev/uinput (before the module is loaded,
    // too), and the module loads at boot.
    const std::string rules =
        readFile(fs::path(prefix) / "lib/udev/rules.d/70-quillon-uinput.rules");
    EXPECT_NE(rules.find("KERNEL==\"uinput\", SUBSYSTEM==\"misc\", TAG+=\"uaccess\", "
                         "OPTIONS+=\"static_node=uinput\""),
              std::string::npos)
        << rules;
    std::istringstream modules(readFile(fs::path(prefix) / "lib/modules-load.d/quillon.conf"));
    std::vector<std::string> loaded;
    for (std::string line; std::getline(modules, line);) {
        if (!line.empty() && line[0] != '#') {
            loaded.push_back(line);
        }
    }
    EXPECT_EQ(loaded, std::vector<std::string>{"uinput"});
    // The unit starts the binary of the prefix it was installed to.
    EXPECT_NE(readFile(fs::path(prefix) / "lib/systemd/user/quillon.service")
                  .find("ExecStart=" + prefix + "/bin/quillon --headless\n"),
              std::string::npos);
    // The installed binary finds its own catalogs.
    ChildProcess::Options chinese;
    chinese.argv = {prefix + "/bin/quillon", "--help"};
    chinese.env = {{"LANG", "zh_CN.UTF-8"}, {"LANGUAGE", std::nullopt}, {"LC_ALL", std::nullopt}};
    chinese.outputFile = dir.path() + "/help.txt";
    ChildProcess help(chinese);
    ASSERT_TRUE(help.wait(30s));
    EXPECT_EQ(help.output().rfind("用法：quillon", 0), 0u) << help.output();
    const auto metainfo = run({"appstreamcli", "validate", "--no-net",
                               prefix + "/share/metainfo/com.corvane.Quillon.metainfo.xml"},
                              dir.path());
    EXPECT_EQ(metainfo.status, 0) << metainfo.output;
    for (const char* entry :
         {"share/applications/quillon.desktop", "share/quillon/quillon-autostart.desktop"}) {
        const auto valid = run({"desktop-file-validate", prefix + "/" + entry}, dir.path());
        EXPECT_EQ(valid.status, 0) << entry << "\n" << valid.output;
        EXPECT_EQ(valid.output, "") << entry;
    }
    const auto version = run({prefix + "/bin/quillon", "--version"}, dir.path());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output.rfind("quillon ", 0), 0u) << version.output;
    // The unit starts the terminal console of the installed binary.
    EXPECT_NE(readFile(fs::path(prefix) / "lib/systemd/user/quillon.service").find("--headless"),
              std::string::npos);
    const auto man =
        run({"man", "-l", "-Tutf8", prefix + "/share/man/man1/quillon.1.gz"}, dir.path());
    if (man.status == 0) { // man-db is optional on a build machine
        // Without a terminal, man prints bold as "x\bx": keep the last character of each.
        std::string plain;
        for (const char c : man.output) {
            if (c == '\b') {
                if (!plain.empty()) {
                    plain.pop_back();
                }
            } else {
                plain += c;
            }
        }
        EXPECT_NE(plain.find("quillon ctl command"), std::string::npos) << plain;
    }
}

// The package as a distribution builds it (installed under /usr): its fields, its files (the
// uinput rule and module entry where udev and systemd read them), a unit whose ExecStart is a
// file the package holds, and no lintian error or warning.
TEST(Install, DebianPackageIsCleanAndItsUnitStartsItsBinary) {
    TempDir dir;
    const auto pack =
        run({"cpack", "-G", "DEB", "--config", QUILLON_BINARY_DIR "/CPackConfig.cmake", "-B",
             dir.path(), "-D", "CPACK_PACKAGING_INSTALL_PREFIX=/usr"},
            dir.path(), 240s);
    ASSERT_EQ(pack.status, 0) << pack.output;
    std::string deb;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        if (e.path().extension() == ".deb") {
            deb = e.path();
        }
    }
    ASSERT_FALSE(deb.empty()) << pack.output;
    const auto info = run({"dpkg-deb", "-I", deb}, dir.path());
    ASSERT_EQ(info.status, 0) << info.output;
    for (const char* field :
         {"Package: quillon", "Depends: ", "libqt6widgets6", "libssl3", "libavahi-client3",
          "qt6-qpa-plugins", "qt6-wayland", "Recommends: avahi-daemon, usbmuxd, fonts-wqy-microhei",
          "Section: utils", "Priority: optional", " Quillon is the host for a tablet's"}) {
        EXPECT_NE(info.output.find(field), std::string::npos) << field << "\n" << info.output;
    }
    EXPECT_EQ(info.output.find("@invalid"), std::string::npos) << info.output;

    const std::string root = dir.path() + "/root";
    const auto unpack = run({"dpkg", "-x", deb, root}, dir.path());
    ASSERT_EQ(unpack.status, 0) << unpack.output;
    const auto unit = readFile(root + "/usr/lib/systemd/user/quillon.service");
    const auto at = unit.find("\nExecStart=");
    ASSERT_NE(at, std::string::npos) << unit;
    const auto start = at + std::string("\nExecStart=").size();
    const std::string program = unit.substr(start, unit.find_first_of(" \n", start) - start);
    EXPECT_EQ(program, "/usr/bin/quillon");
    EXPECT_TRUE(fs::is_regular_file(root + program)) << program;
    for (const char* file :
         {"/usr/share/man/man1/quillon.1.gz", "/usr/share/doc/quillon/copyright",
          "/usr/share/doc/quillon/changelog.gz", "/usr/share/locale/zh_CN/LC_MESSAGES/quillon.mo",
          "/usr/share/metainfo/com.corvane.Quillon.metainfo.xml",
          "/usr/lib/udev/rules.d/70-quillon-uinput.rules",
          "/usr/lib/modules-load.d/quillon.conf"}) {
        EXPECT_TRUE(fs::is_regular_file(root + file)) << file;
    }
    // Input through the kernel: systemd's own lookup (the one udevd and systemd-modules-load
    // make, in the package's tree alone) finds the udev rule that gives the seat's user
    // /dev/uinput and the entry that loads the module at boot.
    const auto rules =
        run({"systemd-analyze", "--root=" + root, "cat-config", "udev/rules.d"}, dir.path());
    EXPECT_EQ(rules.status, 0) << rules.output;
    EXPECT_NE(rules.output.find("# " + root + "/usr/lib/udev/rules.d/70-quillon-uinput.rules\n"),
              std::string::npos)
        << rules.output;
    EXPECT_NE(rules.output.find("\nKERNEL==\"uinput\", SUBSYSTEM==\"misc\", TAG+=\"uaccess\", "
                                "OPTIONS+=\"static_node=uinput\"\n"),
              std::string::npos)
        << rules.output;
    const auto modules =
        run({"systemd-analyze", "--root=" + root, "cat-config", "modules-load.d"}, dir.path());
    EXPECT_EQ(modules.status, 0) << modules.output;
    EXPECT_NE(modules.output.find("# " + root + "/usr/lib/modules-load.d/quillon.conf\n"),
              std::string::npos)
        << modules.output;
    EXPECT_NE(modules.output.find("\nuinput\n"), std::string::npos) << modules.output;

    const auto lintian = run({"lintian", "--tag-display-limit", "0", deb}, dir.path(), 300s);
    EXPECT_EQ(lintian.status, 0) << lintian.output;
    // Nothing but lintian's own remark about running as root (a container's build user).
    std::string tags;
    std::istringstream lines(lintian.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("root privileges") == std::string::npos) {
            tags += line + "\n";
        }
    }
    EXPECT_EQ(tags, "");
}

} // namespace
