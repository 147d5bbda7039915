#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace quillon::platform {

// Every key of the user defaults the host reads, with what it accepts: the one list that
// `quillon defaults write` checks against, `--help` and the man page print, and the readers
// follow. A key outside it is refused when written (a typo would otherwise be kept and do
// nothing).
struct SettingKey {
    enum class Kind {
        boolean, // true/false (yes/no, on/off, 1/0 when written)
        number,  // a number within [minimum, maximum] (minimum excluded when `aboveMinimum`)
        choice,  // one of `choices`
        text,    // any non-empty text of at most maximum bytes
        port,    // "auto" or a TCP port within [minimum, maximum]
        keys,    // a key combination: modifiers and xkb key names joined by '+'
    };
    std::string_view name;
    Kind kind = Kind::text;
    double minimum = 0;
    double maximum = 0;
    bool aboveMinimum = false;
    std::span<const std::string_view> choices;
    std::string_view defaultValue; // as the user would write it
    const char* description = "";  // English message id (translate with i18n::tr)
};

// In the order --help lists them.
std::span<const SettingKey> settingKeys();
const SettingKey* findSettingKey(std::string_view name);

// The stored value for `text` written under `key`, or the reason it is refused, in the run's
// language ("scrollPixelsPerClick takes a number above 0 and at most 1000, not \"-3\"").
std::variant<nlohmann::json, std::string> parseSetting(const SettingKey& key,
                                                       const std::string& text);

// What a key accepts, in words ("true or false", "one of control, super").
std::string acceptedValues(const SettingKey& key);

// The "port" setting as the listeners use it: the fixed port, or nothing for automatic (also
// for a value that is not a port in range, which a hand-edited file may hold).
std::optional<std::uint16_t> fixedPort(const std::optional<nlohmann::json>& stored);

} // namespace quillon::platform
