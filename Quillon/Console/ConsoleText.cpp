#include "Quillon/Console/ConsoleText.hpp"

#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Keychain/Keychain.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Host/PermissionChecker.hpp"

#include <algorithm>
#include <cctype>
#include <functional>

namespace quillon {

namespace console {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])) != 0) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])) == 0) {
            ++i;
        }
        if (i > start) {
            out.emplace_back(line.substr(start, i - start));
        }
    }
    return out;
}

} // namespace

std::string telemetryState(bool enabled) {
    return enabled ? i18n::tr("Send anonymous usage data: on")
                   : i18n::tr("Send anonymous usage data: off");
}

Command parseCommand(std::string_view line) {
    const auto w = words(line);
    if (w.empty()) {
        return {};
    }
    const std::string verb = lower(w[0]);
    const auto withDevice = [&](Command::Kind kind) {
        if (w.size() < 2) {
            return Command{Command::Kind::missingArgument, verb};
        }
        return Command{kind, w[1]};
    };
    if (verb == "pair") {
        return {Command::Kind::pair, {}};
    }
    if (verb == "cancel") {
        return {Command::Kind::cancel, {}};
    }
    if (verb == "devices") {
        return {Command::Kind::devices, {}};
    }
    if (verb == "disconnect") {
        return withDevice(Command::Kind::disconnect);
    }
    if (verb == "unpair") {
        return withDevice(Command::Kind::unpair);
    }
    if (verb == "telemetry") {
        if (w.size() < 2) {
            return {Command::Kind::telemetryStatus, {}};
        }
        const std::string value = lower(w[1]);
        if (value == "on") {
            return {Command::Kind::telemetryOn, {}};
        }
        if (value == "off") {
            return {Command::Kind::telemetryOff, {}};
        }
        return {Command::Kind::unknown, std::string(line)};
    }
    if (verb == "quit" || verb == "exit") {
        return {Command::Kind::quit, {}};
    }
    if (verb == "help" || verb == "?") {
        return {Command::Kind::help, {}};
    }
    return {Command::Kind::unknown, w[0]};
}

std::string shown(std::string_view clientText) {
    return platform::safeText(clientText, 128);
}

std::string deviceList(const std::vector<PairedDevice>& devices,
                       const std::vector<std::string>& connectedIDs) {
    if (devices.empty()) {
        return i18n::tr("No device paired yet") + "\n";
    }
    std::string text;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto& d = devices[i];
        const bool connected =
            std::find(connectedIDs.begin(), connectedIDs.end(), d.deviceID) != connectedIDs.end();
        text += std::to_string(i + 1) + ". " + (connected ? "● " : "○ ") + shown(d.deviceName) +
                "  [" + shown(d.deviceID) + "]\n";
    }
    return text;
}

std::string storeRefused(const std::string& reason) {
    return i18n::fill(i18n::tr("Cannot read the pairing records ({1})"),
                      {platform::safeText(reason, 512)}) +
           "\n" + i18n::tr("Paired devices cannot connect, and no new device can be paired.") +
           "\n" + storeAdvice(platform::Keychain::defaultPath()) + "\n";
}

std::string noticeLine(const HostNotice& n) {
    const std::string from =
        n.channel == HostChannel::usb ? i18n::tr("USB cable") : platform::safeText(n.source, 64);
    switch (n.kind) {
    case HostNotice::Kind::wrongPIN:
        return i18n::fill(i18n::tr("Pairing refused (wrong code): {1}"), {from});
    case HostNotice::Kind::unknownDevice:
        return i18n::fill(
            i18n::tr("Connection refused (device not paired; pair it again on the iPad): {1}"),
            {from});
    case HostNotice::Kind::badToken:
        return i18n::fill(i18n::tr("Connection refused (pairing credentials do not match; "
                                   "unpair and pair again): {1}"),
                          {from});
    case HostNotice::Kind::outdatedClient:
        return i18n::fill(
            i18n::tr("Connection refused (the tablet's app is too old for this host; update "
                     "it): {1}"),
            {from});
    case HostNotice::Kind::refused:
        break;
    }
    // The reason is the text the peer was sent (the tablet's language); the code says it in
    // any language.
    return i18n::fill(i18n::tr("Connection refused: {1} (error {2}: {3})"),
                      {from, std::to_string(n.code), shownReason(n.reason)});
}

std::string footer(std::optional<HostChannel> activeChannel) {
    if (!activeChannel) {
        return i18n::tr("Not connected") + "\n";
    }
    return (*activeChannel == HostChannel::usb ? i18n::tr("Connected · USB cable")
                                               : i18n::tr("Connected · Wi-Fi")) +
           "\n";
}

std::string permission(const PermissionChecker::Status& status) {
    if (status.permitted) {
        return i18n::tr("Input permission granted") + "\n";
    }
    std::string text = status.reason.empty()
                           ? i18n::tr("Input permission needed")
                           : i18n::fill(i18n::tr("Input permission needed ({1})"), {status.reason});
    text += "\n" +
            i18n::tr("Without it, pointer and key input from the iPad has no effect, and nothing "
                     "reports an error.") +
            "\n";
    if (!status.guide.steps.empty()) {
        text += i18n::tr("What to do:") + "\n";
        for (std::size_t i = 0; i < status.guide.steps.size(); ++i) {
            text += "  " + std::to_string(i + 1) + ". " + status.guide.steps[i] + "\n";
        }
    }
    return text;
}

std::string storeAdvice(const std::string& storePath) {
    return i18n::fill(i18n::tr("To start afresh: quit Quillon, move {1} aside (rename it), start "
                               "Quillon again and pair your devices again."),
                      {platform::safeText(storePath, 512)});
}

std::string help() {
    return i18n::tr("Commands:\n"
                    "  pair               pair a new device (shows the pairing code)\n"
                    "  cancel             cancel pairing\n"
                    "  devices            list paired devices\n"
                    "  disconnect ID|N    disconnect a device\n"
                    "  unpair ID|N        forget a device\n"
                    "  telemetry on|off   send anonymous usage data\n"
                    "  quit               quit\n");
}

std::optional<std::string> resolveDevice(const std::vector<PairedDevice>& devices,
                                         std::string_view name) {
    const std::string wanted = lower(name);
    for (const auto& d : devices) {
        if (lower(d.deviceID) == wanted) {
            return d.deviceID;
        }
    }
    if (!name.empty() &&
        std::all_of(name.begin(), name.end(),
                    [](unsigned char c) { return std::isdigit(c) != 0; }) &&
        name.size() < 6) {
        const auto index = std::stoul(std::string(name));
        if (index >= 1 && index <= devices.size()) {
            return devices[index - 1].deviceID;
        }
    }
    return std::nullopt;
}

} // namespace console

} // namespace quillon
