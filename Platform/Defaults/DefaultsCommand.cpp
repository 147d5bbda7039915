#include "Platform/Defaults/DefaultsCommand.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Defaults/SettingKeys.hpp"
#include "Platform/Locale/Translation.hpp"

#include <exception>
#include <string>
#include <string_view>

namespace quillon::platform {

namespace {

using i18n::fill;
using i18n::tr;

std::string usage() {
    return tr("Usage: quillon defaults read [KEY]\n"
              "       quillon defaults write KEY VALUE\n"
              "       quillon defaults delete KEY\n"
              "       quillon defaults --help\n");
}

void help(std::ostream& out, const Defaults& defaults) {
    out << usage() << "\n"
        << tr("Reads and writes Quillon's settings. A running host picks up most changes by "
              "itself; port and computerName apply at its next start.")
        << "\n"
        << fill(tr("Settings file: {1}"), {defaults.file().string()}) << "\n\n"
        << tr("Keys:") << "\n"
        << settingsKeysHelp() << "\n"
        << tr("See quillon(1) for more.") << "\n";
}

std::string show(const nlohmann::json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool isHelp(std::string_view word) {
    return word == "--help" || word == "-h" || word == "help";
}

} // namespace

std::optional<std::string> writeSetting(Defaults& defaults, const std::string& key,
                                        const std::string& value) {
    const SettingKey* known = findSettingKey(key);
    if (known == nullptr) {
        return fill(tr("\"{1}\" is not a setting of Quillon"), {key});
    }
    try {
        if (value.empty()) {
            defaults.remove(key);
            return std::nullopt;
        }
        auto parsed = parseSetting(*known, value);
        if (const auto* refusal = std::get_if<std::string>(&parsed)) {
            return *refusal;
        }
        defaults.set(key, std::get<nlohmann::json>(parsed));
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

std::map<std::string, std::string> settingTexts(const Defaults& defaults) {
    std::map<std::string, std::string> out;
    const auto all = defaults.snapshot();
    if (!all.is_object()) {
        return out;
    }
    for (const auto& [key, value] : all.items()) {
        out[key] = value.is_string()
                       ? value.get<std::string>()
                       : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return out;
}

std::string settingsKeysHelp() {
    std::string text;
    for (const auto& key : settingKeys()) {
        text += "  " + std::string(key.name) + "\n      " + tr(key.description) + "\n      " +
                acceptedValues(key);
        if (!key.defaultValue.empty()) {
            text += fill(tr("; default {1}"), {key.defaultValue});
        }
        text += "\n";
    }
    return text;
}

int runDefaultsCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    return runDefaultsCommand(argc, argv, out, err, Defaults::standard());
}

int runDefaultsCommand(int argc, char** argv, std::ostream& out, std::ostream& err,
                       Defaults& defaults) {
    for (int i = 1; i < argc; ++i) {
        if (isHelp(argv[i]) && !(i == 3 && std::string_view(argv[1]) == "write")) {
            help(out, defaults); // also `defaults write --help` and the like
            return 0;
        }
    }
    if (argc < 2) {
        err << usage();
        return 2;
    }
    const std::string verb = argv[1];
    if (const auto problem = defaults.problem()) {
        // Every key then reads as not set; a write starts a fresh file and keeps the old one
        // beside it as .corrupt.
        err << "quillon defaults: " << fill(tr("cannot use {1}; it reads as empty"), {*problem})
            << "\n";
    }
    const auto missing = [&](const char* key) {
        err << "quillon defaults: "
            << fill(tr("the key \"{1}\" is not set in {2}"), {key, defaults.file().string()})
            << "\n";
        return 1;
    };
    try {
        if (verb == "read" && argc == 2) {
            out << show(defaults.snapshot()) << '\n';
            return 0;
        }
        if (verb == "read" && argc == 3) {
            const auto value = defaults.value(argv[2]);
            if (!value) {
                return missing(argv[2]);
            }
            out << show(*value) << '\n';
            return 0;
        }
        if (verb == "write" && argc == 4) {
            const SettingKey* key = findSettingKey(argv[2]);
            if (key == nullptr) {
                err << "quillon defaults: "
                    << fill(tr("\"{1}\" is not a setting of Quillon; quillon defaults --help "
                               "lists them. Nothing was written."),
                            {argv[2]})
                    << "\n";
                return 1;
            }
            auto parsed = parseSetting(*key, argv[3]);
            if (const auto* refusal = std::get_if<std::string>(&parsed)) {
                err << "quillon defaults: " << fill(tr("{1}. Nothing was written."), {*refusal})
                    << "\n";
                return 1;
            }
            defaults.set(argv[2], std::get<nlohmann::json>(parsed));
            return 0;
        }
        if (verb == "delete" && argc == 3) {
            if (!defaults.value(argv[2])) {
                return missing(argv[2]);
            }
            defaults.remove(argv[2]);
            return 0;
        }
    } catch (const std::exception& e) {
        err << "quillon defaults: " << e.what() << "\n";
        return 1;
    }
    err << usage();
    return 2;
}

} // namespace quillon::platform
