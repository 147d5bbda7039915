// quillon: the host. On a desktop it is the tray program with its console and permission
// windows (the window of a host that already runs elsewhere, when one does); `quillon
// --headless` is the same console in a terminal; `quillon ctl ...` drives a
// running host; `quillon defaults ...` reads and writes the user defaults.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Defaults/DefaultsCommand.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Console/ControlCommand.hpp"
#include "Quillon/Console/HeadlessHost.hpp"
#include "Quillon/Host/Version.hpp"
#include "Quillon/Shell/DesktopProgram.hpp"

#include <cstring>
#include <iostream>

namespace {

using quillon::i18n::tr;

std::string usageLines() {
    return tr("Usage: quillon [--headless]\n"
              "       quillon ctl COMMAND [ARGUMENT]\n"
              "       quillon defaults read [KEY] | write KEY VALUE | delete KEY\n"
              "       quillon --help | --version\n");
}

void help(std::ostream& out) {
    out << usageLines() << "\n"
        << tr("Quillon lets a paired iPad act as this computer's pointer, trackpad and "
              "keyboard, over the local network or a USB cable.")
        << "\n\n"
        << tr("Options:\n"
              "  (none)        the desktop program: a tray icon and the Quillon window\n"
              "  --headless    the same host with its console in this terminal (SSH, "
              "services)\n"
              "  --help, -h    this help\n"
              "  --version     the version\n")
        << "\n"
        << tr("Subcommands (each has --help):\n"
              "  ctl           drive the running host: state, devices, pair, cancel, "
              "disconnect,\n"
              "                unpair, telemetry, show, quit (state and devices take --json)\n"
              "  defaults      read and write the settings\n")
        << "\n"
        << tr("Settings (quillon defaults write KEY VALUE):") << "\n"
        << quillon::platform::settingsKeysHelp() << "\n"
        << tr("One host runs per desktop session. quillon always ends with its window: it "
              "hosts in itself, shows the host that runs without a window (quillon "
              "--headless, the user unit), or brings the open window to the front.")
        << "\n"
        << tr("See quillon(1) for the files, the environment and more.") << "\n";
}

bool is(const char* arg, const char* word) {
    return std::strcmp(arg, word) == 0;
}

} // namespace

int main(int argc, char** argv) {
    quillon::i18n::initialise();
    if (argc >= 2 && is(argv[1], "defaults")) {
        return quillon::platform::runDefaultsCommand(argc - 1, argv + 1, std::cout, std::cerr);
    }
    if (argc >= 2 && is(argv[1], "ctl")) {
        return quillon::runControlCommand(argc - 1, argv + 1, std::cout, std::cerr);
    }
    if (argc == 2 && (is(argv[1], "--help") || is(argv[1], "-h"))) {
        help(std::cout);
        return 0;
    }
    if (argc == 2 && is(argv[1], "--version")) {
        std::cout << "quillon " << quillon::kVersion << "\n";
        return 0;
    }
    if (argc == 2 && is(argv[1], "--headless")) {
        return quillon::runHeadlessHost(quillon::platform::Defaults::standard());
    }
    if (argc != 1) {
        std::cerr << usageLines();
        return 2;
    }
    std::string platform;
    if (const auto problem = quillon::shell::displayProblem(platform)) {
        std::cerr << "quillon: " << *problem << "\n";
        return 1;
    }
    return quillon::shell::runDesktop(argc, argv, platform,
                                      quillon::platform::Defaults::standard());
}
