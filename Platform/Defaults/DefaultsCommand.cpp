#include "Platform/Defaults/DefaultsCommand.hpp"

#include "Platform/Defaults/Defaults.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::platform {

namespace {

void usage(std::ostream& err) {
    err << "usage: quillon defaults read [KEY]\n"
           "       quillon defaults write KEY VALUE   (VALUE as JSON when it parses, else "
           "text)\n"
           "       quillon defaults delete KEY\n";
}

// The keys the host reads, with the JSON type each one is read as. A value of another type
// reads as "not set", so a wrong type silently keeps the default: the command refuses it.
enum class KeyType { boolean, number, string };

std::optional<KeyType> typeOf(std::string_view key) {
    static const std::pair<std::string_view, KeyType> keys[] = {
        {"telemetry.enabled", KeyType::boolean},   {"invertScrollX", KeyType::boolean},
        {"invertScrollY", KeyType::boolean},       {"momentumEnabled", KeyType::boolean},
        {"disablePinch", KeyType::boolean},        {"verboseInputLogging", KeyType::boolean},
        {"scrollProbeOnLaunch", KeyType::boolean}, {"scrollProbeFast", KeyType::boolean},
        {"scrollGain", KeyType::number},           {"momentumDecay", KeyType::number},
        {"scrollPixelsPerClick", KeyType::number}, {"commandKey", KeyType::string},
        {"gestureProbeOnLaunch", KeyType::string}, {"iconTheme", KeyType::string},
        {"overviewKey", KeyType::string},
    };
    for (const auto& [name, type] : keys) {
        if (name == key) {
            return type;
        }
    }
    return std::nullopt;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The value to store for `text` under a key of `type`, or nothing when the text is not one.
// Booleans are spelled as people write them (true/false, yes/no, on/off, 1/0, any case).
std::optional<nlohmann::json> typedValue(KeyType type, const std::string& text) {
    switch (type) {
    case KeyType::boolean: {
        const auto word = lower(text);
        if (word == "true" || word == "yes" || word == "on" || word == "1") {
            return nlohmann::json(true);
        }
        if (word == "false" || word == "no" || word == "off" || word == "0") {
            return nlohmann::json(false);
        }
        return std::nullopt;
    }
    case KeyType::number: {
        const auto parsed = nlohmann::json::parse(text, nullptr, false);
        if (parsed.is_number() && std::isfinite(parsed.get<double>())) {
            return parsed;
        }
        return std::nullopt;
    }
    case KeyType::string:
        return nlohmann::json(text);
    }
    return std::nullopt;
}

const char* typeName(KeyType type) {
    switch (type) {
    case KeyType::boolean:
        return "true or false";
    case KeyType::number:
        return "a number";
    case KeyType::string:
        return "text";
    }
    return "";
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
    if (const auto problem = defaults.problem()) {
        // Every key then reads as not set; a write starts a fresh file and keeps the old one
        // beside it as .corrupt.
        err << "quillon defaults: cannot use " << *problem << "; it reads as empty\n";
    }
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
            nlohmann::json value;
            if (const auto type = typeOf(argv[2])) {
                const auto typed = typedValue(*type, argv[3]);
                if (!typed) {
                    err << "quillon defaults: \"" << argv[2] << "\" takes " << typeName(*type)
                        << ", not \"" << argv[3] << "\"; nothing was written\n";
                    return 1;
                }
                value = *typed;
            } else {
                // A key the host does not read itself: kept as given (JSON when it parses).
                value = nlohmann::json::parse(argv[3], nullptr, false);
                if (value.is_discarded()) {
                    value = std::string(argv[3]);
                }
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
