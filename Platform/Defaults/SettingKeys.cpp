#include "Platform/Defaults/SettingKeys.hpp"

#include "Platform/Locale/Translation.hpp"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace quillon::platform {

namespace {

using i18n::N_;
using K = SettingKey::Kind;

constexpr std::string_view kCommandKeys[] = {"control", "super"};
constexpr std::string_view kInputBackends[] = {"auto", "x11", "wlroots", "gnome", "kde", "uinput"};
constexpr std::string_view kScrollModes[] = {"clicks", "smooth"};
// The tablet's gesture names, in the order they are declared on the wire.
constexpr std::string_view kGestures[] = {"threeFingerUp",     "threeFingerDown", "threeFingerLeft",
                                          "threeFingerRight",  "pinchIn",         "pinchOut",
                                          "fourFingerPinchIn", "smartZoom",       "showDesktop"};

// Pairing listens on port + 1, so a fixed port leaves room for it.
constexpr double kLowestPort = 1024;
constexpr double kHighestPort = 65534;

const SettingKey kKeys[] = {
    {"computerName",
     K::text,
     0,
     63,
     false,
     {},
     "the computer's name",
     N_("The name the tablet lists this computer under (DNS-SD service name).")},
    {"port",
     K::port,
     kLowestPort,
     kHighestPort,
     false,
     {},
     "auto",
     N_("The TCP port the host listens on for paired tablets, or auto for one the system "
        "picks at each start; pairing listens on the next port.")},
    {"notifications.enabled",
     K::boolean,
     0,
     0,
     false,
     {},
     "true",
     N_("Show desktop notifications (a device paired, connected or disconnected, a refused "
        "device or wrong PIN, input permission lost, tablets unable to find the host).")},
    {"telemetry.enabled",
     K::boolean,
     0,
     0,
     false,
     {},
     "true",
     N_("Send anonymous usage counters.")},
    {"display",
     K::text,
     0,
     256,
     false,
     {},
     "primary",
     N_("The monitor the tablet controls: primary, all (every monitor) or a monitor's name "
        "(DP-2, HEADLESS-1).")},
    {"inputBackend", K::choice, 0, 0, false, kInputBackends, "auto",
     N_("How input is posted: auto (by what the session offers), x11, wlroots, gnome, kde or "
        "uinput (the kernel's virtual devices).")},
    {"commandKey", K::choice, 0, 0, false, kCommandKeys, "control",
     N_("What the tablet's Command key acts as.")},
    {"overviewKey",
     K::keys,
     0,
     0,
     false,
     {},
     "Super",
     N_("The key combination that opens the desktop's overview (Super, Super+Tab, "
        "Control+Alt+Up).")},
    {"scrollGain", K::number, 0, 100, true, {}, "3.0", N_("Multiplier for scroll distances.")},
    {"scrollPixelsPerClick",
     K::number,
     0,
     1000,
     true,
     {},
     "10",
     N_("Scrolled pixels that make one wheel click.")},
    {"scroll", K::choice, 0, 0, false, kScrollModes, "clicks",
     N_("On X11, how the wheel turns: clicks (XTest) or smooth (parts of a click through a "
        "uinput wheel device; read at start).")},
    {"invertScrollX", K::boolean, 0, 0, false, {}, "false", N_("Reverse horizontal scrolling.")},
    {"invertScrollY", K::boolean, 0, 0, false, {}, "false", N_("Reverse vertical scrolling.")},
    {"momentumEnabled",
     K::boolean,
     0,
     0,
     false,
     {},
     "true",
     N_("Keep scrolling after the fingers lift.")},
    {"momentumDecay",
     K::number,
     0,
     1,
     true,
     {},
     "0.955",
     N_("How much of the scrolling speed each momentum step keeps (1 never slows down).")},
    {"disablePinch",
     K::boolean,
     0,
     0,
     false,
     {},
     "false",
     N_("Ignore pinch gestures (no zoom shortcuts).")},
    {"iconTheme",
     K::text,
     0,
     256,
     false,
     {},
     "the desktop's theme",
     N_("The icon theme the application list is drawn from.")},
    {"verboseInputLogging",
     K::boolean,
     0,
     0,
     false,
     {},
     "false",
     N_("Write every input message to the diagnostics log.")},
    {"gestureProbeOnLaunch", K::choice, 0, 0, false, kGestures, "",
     N_("A gesture to post 3 seconds after start (a diagnostic).")},
    {"scrollProbeOnLaunch",
     K::boolean,
     0,
     0,
     false,
     {},
     "false",
     N_("Post a test scroll 3 seconds after start (a diagnostic).")},
    {"scrollProbeFast",
     K::boolean,
     0,
     0,
     false,
     {},
     "false",
     N_("Run the scroll probe at full speed (a diagnostic).")},
};

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

std::string joined(std::span<const std::string_view> words) {
    std::string out;
    for (const auto w : words) {
        out += (out.empty() ? "" : ", ") + std::string(w);
    }
    return out;
}

bool isCombination(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = text.find('+', start);
        const std::string name =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (name.empty() ||
            xkb_keysym_from_name(name.c_str(), XKB_KEYSYM_NO_FLAGS) == XKB_KEY_NoSymbol) {
            const auto l = lower(name);
            if (l != "super" && l != "meta" && l != "control" && l != "ctrl" && l != "alt" &&
                l != "shift") {
                return false;
            }
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return true;
}

// The number as written (an integer stays one), or nothing.
std::optional<nlohmann::json> parsedNumber(const std::string& text) {
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_number() && std::isfinite(parsed.get<double>())) {
        return parsed;
    }
    return std::nullopt;
}

} // namespace

std::span<const SettingKey> settingKeys() {
    return kKeys;
}

const SettingKey* findSettingKey(std::string_view name) {
    for (const auto& key : kKeys) {
        if (key.name == name) {
            return &key;
        }
    }
    return nullptr;
}

std::string acceptedValues(const SettingKey& key) {
    switch (key.kind) {
    case K::boolean:
        return i18n::tr("true or false");
    case K::number:
        return i18n::fill(key.aboveMinimum ? i18n::tr("a number above {1} and at most {2}")
                                           : i18n::tr("a number from {1} to {2}"),
                          {number(key.minimum), number(key.maximum)});
    case K::choice:
        return i18n::fill(i18n::tr("one of {1}"), {joined(key.choices)});
    case K::text:
        return i18n::fill(i18n::tr("a text of 1 to {1} bytes"), {number(key.maximum)});
    case K::port:
        return i18n::fill(i18n::tr("auto or a port from {1} to {2}"),
                          {number(key.minimum), number(key.maximum)});
    case K::keys:
        return i18n::tr("a key combination such as Super, Super+Tab or Control+Alt+Up");
    }
    return {};
}

std::variant<nlohmann::json, std::string> parseSetting(const SettingKey& key,
                                                       const std::string& text) {
    const auto refuse = [&] {
        return i18n::fill(i18n::tr("{1} takes {2}, not \"{3}\""),
                          {key.name, acceptedValues(key), text});
    };
    switch (key.kind) {
    case K::boolean: {
        const auto word = lower(text);
        if (word == "true" || word == "yes" || word == "on" || word == "1") {
            return nlohmann::json(true);
        }
        if (word == "false" || word == "no" || word == "off" || word == "0") {
            return nlohmann::json(false);
        }
        return refuse();
    }
    case K::number: {
        const auto parsed = parsedNumber(text);
        const double value = parsed ? parsed->get<double>() : 0;
        if (!parsed || value > key.maximum ||
            (key.aboveMinimum ? value <= key.minimum : value < key.minimum)) {
            return refuse();
        }
        return *parsed;
    }
    case K::choice:
        if (std::find(key.choices.begin(), key.choices.end(), text) == key.choices.end()) {
            return refuse();
        }
        return nlohmann::json(text);
    case K::text:
        if (text.empty() || text.size() > key.maximum) {
            return refuse();
        }
        return nlohmann::json(text);
    case K::port: {
        if (lower(text) == "auto") {
            return nlohmann::json("auto");
        }
        const auto parsed = parsedNumber(text);
        const double value = parsed ? parsed->get<double>() : 0;
        if (!parsed || value != std::floor(value) || value < key.minimum || value > key.maximum) {
            return refuse();
        }
        return nlohmann::json(static_cast<int>(value));
    }
    case K::keys:
        if (!isCombination(text)) {
            return refuse();
        }
        return nlohmann::json(text);
    }
    return refuse();
}

std::optional<std::uint16_t> fixedPort(const std::optional<nlohmann::json>& stored) {
    if (!stored || !stored->is_number_integer()) {
        return std::nullopt;
    }
    const auto value = stored->get<long long>();
    if (value < kLowestPort || value > kHighestPort) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

} // namespace quillon::platform
