#pragma once

#include <optional>
#include <string>

namespace quillon {

// What activating an application will do: open what `url` names (a running instance's locator
// or an installed entry's path), or nothing because neither exists.
struct AppSwitchDecision {
    enum class Kind { open, notFound };

    Kind kind = Kind::notFound;
    std::string url; // empty for notFound

    static AppSwitchDecision open(std::string url) { return {Kind::open, std::move(url)}; }
    static AppSwitchDecision notFound() { return {}; }

    // A running instance wins over the installed copy; neither gives notFound.
    static AppSwitchDecision decide(const std::optional<std::string>& running,
                                    const std::optional<std::string>& installed);

    bool operator==(const AppSwitchDecision&) const = default;
};

} // namespace quillon
