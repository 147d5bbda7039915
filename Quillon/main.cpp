// quillon: the host. On a desktop it is the tray program with its console and permission
// windows; `quillon --headless` is the same console in a terminal; `quillon ctl ...` drives a
// running host; `quillon defaults ...` reads and writes the user defaults.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Defaults/DefaultsCommand.hpp"
#include "Quillon/Console/ControlCommand.hpp"
#include "Quillon/Console/HeadlessHost.hpp"
#include "Quillon/Console/Translations.hpp"
#include "Quillon/Host/Version.hpp"
#include "Quillon/Shell/DesktopProgram.hpp"

#include <cstring>
#include <iostream>

namespace {

int usage(std::ostream& out, int status) {
    out << "usage: quillon [--headless]\n"
           "       quillon ctl state|devices|pair|cancel|disconnect ID|unpair ID|telemetry "
           "on|off|show|quit\n"
           "       quillon defaults read [KEY] | write KEY VALUE | delete KEY\n"
           "       quillon --version\n";
    return status;
}

bool is(const char* arg, const char* word) {
    return std::strcmp(arg, word) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && is(argv[1], "defaults")) {
        return quillon::platform::runDefaultsCommand(argc - 1, argv + 1, std::cout, std::cerr);
    }
    if (argc >= 2 && is(argv[1], "ctl")) {
        return quillon::runControlCommand(argc - 1, argv + 1, std::cout, std::cerr);
    }
    if (argc == 2 && (is(argv[1], "--help") || is(argv[1], "-h"))) {
        return usage(std::cout, 0);
    }
    if (argc == 2 && is(argv[1], "--version")) {
        std::cout << "quillon " << quillon::kVersion << "\n";
        return 0;
    }
    if (argc == 2 && is(argv[1], "--headless")) {
        return quillon::runHeadlessHost(quillon::platform::Defaults::standard());
    }
    if (argc != 1) {
        return usage(std::cerr, 2);
    }
    if (!quillon::shell::hasGraphicalDisplay()) {
        std::cerr << "quillon: "
                  << quillon::i18n::tr(
                         "没有图形显示（DISPLAY 和 WAYLAND_DISPLAY 都未设置）；在终端里运行请用 "
                         "quillon --headless")
                  << "\n";
        return 1;
    }
    return quillon::shell::runDesktop(argc, argv, quillon::platform::Defaults::standard());
}
