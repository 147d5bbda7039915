#include "Platform/Defaults/DefaultsCommand.hpp"

#include "Platform/Defaults/Defaults.hpp"

#include <exception>
#include <string>

namespace quillon::platform {

namespace {

void usage(std::ostream& err) {
    err << "usage: quillon defaults read [KEY]\n"
           "       quillon defaults write KEY VALUE   (VALUE as JSON when it parses, else "
           "text)\n"
           "       quillon defaults delete KEY\n";
}

std::string show(const nlohmann::json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

int runDefaultsCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    return runDefaultsCommand(argc, argv, out, err, Defaults::standard());
}

int runDefaultsCommand(int argc, char** argv, std::ostream& out, std::ostream& err,
                       Defaults& defaults) {
    if (argc < 2) {
        usage(err);
        return 2;
    }
    const std::string verb = argv[1];
    try {
        if (verb == "read" && argc == 2) {
            out << show(defaults.snapshot()) << '\n';
            return 0;
        }
        if (verb == "read" && argc == 3) {
            const auto value = defaults.value(argv[2]);
            if (!value) {
                err << "The key \"" << argv[2] << "\" does not exist in "
                    << defaults.file().string() << "\n";
                return 1;
            }
            out << show(*value) << '\n';
            return 0;
        }
        if (verb == "write" && argc == 4) {
            nlohmann::json value = nlohmann::json::parse(argv[3], nullptr, false);
            if (value.is_discarded()) {
                value = std::string(argv[3]);
            }
            defaults.set(argv[2], value);
            return 0;
        }
        if (verb == "delete" && argc == 3) {
            if (!defaults.value(argv[2])) {
                err << "The key \"" << argv[2] << "\" does not exist in "
                    << defaults.file().string() << "\n";
                return 1;
            }
            defaults.remove(argv[2]);
            return 0;
        }
    } catch (const std::exception& e) {
        err << "quillon defaults: " << e.what() << "\n";
        return 1;
    }
    usage(err);
    return 2;
}

} // namespace quillon::platform
