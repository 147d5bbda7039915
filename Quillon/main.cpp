// quillon: the host. Without a graphical shell, `quillon` and `quillon --headless` run the
// terminal console; `quillon defaults ...` reads and writes the user defaults.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Defaults/DefaultsCommand.hpp"
#include "Quillon/Console/HeadlessHost.hpp"

#include <cstring>
#include <iostream>

namespace {

int usage(std::ostream& out, int status) {
    out << "usage: quillon [--headless]\n"
           "       quillon defaults read [KEY] | write KEY VALUE | delete KEY\n";
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "defaults") == 0) {
        return quillon::platform::runDefaultsCommand(argc - 1, argv + 1, std::cout, std::cerr);
    }
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        return usage(std::cout, 0);
    }
    if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--headless") != 0)) {
        return usage(std::cerr, 2);
    }
    return quillon::runHeadlessHost(quillon::platform::Defaults::standard());
}
