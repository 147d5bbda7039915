#include "Quillon/Console/ControlCommand.hpp"

#include "Platform/Control/ControlBus.hpp"
#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Console/ConsoleText.hpp"
#include "Quillon/Host/LaunchEnvironment.hpp"
#include "Quillon/Host/PermissionChecker.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

namespace {

using i18n::fill;
using i18n::tr;
using i18n::trn;

std::string usageLine() {
    return tr("Usage: quillon ctl state [--json] | devices [--json] | pair | cancel |\n"
              "                   disconnect ID|N | unpair ID|N | telemetry on|off | show |\n"
              "                   quit | --help\n");
}

int usage(std::ostream& err) {
    err << usageLine();
    return 2;
}

void help(std::ostream& out) {
    out << usageLine() << "\n"
        << tr("Drives the Quillon host running in this desktop session (however it was "
              "started) over the session bus.")
        << "\n\n"
        << tr("Commands:\n"
              "  state [--json]     input permission, the name the tablet sees, the ports,\n"
              "                     the pairing code, the connection, telemetry, problems\n"
              "  devices [--json]   the paired devices, numbered (● connected, ○ not)\n"
              "  pair               open a pairing window and print its code\n"
              "  cancel             close the pairing window\n"
              "  disconnect ID|N    drop a device's connection (its ID or number)\n"
              "  unpair ID|N        forget a device\n"
              "  telemetry on|off   switch the anonymous usage counters\n"
              "  show               show Quillon's window (opened when the host has none)\n"
              "  quit               stop the host\n")
        << "\n"
        << tr("Exit status: 0 done (or nothing to do, which is said), 1 the host refused or "
              "is not running, 2 bad usage.")
        << "\n"
        << tr("See quillon(1) for more.") << "\n";
}

std::string channelText(const std::string& channel) {
    if (channel == "usb") {
        return tr("Connected · USB cable");
    }
    if (channel == "wifi") {
        return tr("Connected · Wi-Fi");
    }
    return tr("Not connected");
}

std::string portsText(const platform::ControlState& s) {
    if (!s.port) {
        return tr("Not listening");
    }
    std::string text = fill(tr("Listening on TCP port {1}"), {std::to_string(*s.port)});
    if (s.pairingPort) {
        text += fill(tr(" (pairing on {1})"), {std::to_string(*s.pairingPort)});
    }
    return text;
}

std::string shown(const std::string& text) {
    return console::shown(text);
}

// What the host answers is shown as the console shows a client's text: controls escaped (no
// terminal escape sequence, no forged line), bidirectional overrides made visible, and cut to
// a sane length (names through shown()).
std::string line(const std::string& text) {
    return platform::safeText(text, 512);
}

void printState(const platform::ControlState& s, std::ostream& out) {
    if (s.permitted) {
        out << tr("Input permission granted") << "\n";
    } else {
        out << (s.permissionReason.empty()
                    ? tr("Input permission needed")
                    : fill(tr("Input permission needed ({1})"), {line(s.permissionReason)}))
            << "\n";
        if (!s.guide.empty()) {
            out << tr("What to do:") << "\n";
            for (std::size_t i = 0; i < s.guide.size(); ++i) {
                out << "  " << i + 1 << ". " << line(s.guide[i]) << "\n";
            }
        }
    }
    if (!s.serviceName.empty()) {
        out << fill(tr("The tablet will see this computer as: {1}"), {shown(s.serviceName)})
            << "\n";
    }
    out << portsText(s) << "\n";
    if (!s.discoverable) {
        out << tr("Tablets cannot find this computer: avahi-daemon is not running.") << "\n";
    }
    if (s.pin) {
        out << fill(tr("Pairing code: {1}"), {shown(*s.pin)}) << "\n";
        if (s.pinSecondsLeft) {
            out << fill(trn("(expires in {1} second)", "(expires in {1} seconds)",
                            static_cast<unsigned long>(*s.pinSecondsLeft)),
                        {std::to_string(*s.pinSecondsLeft)})
                << "\n";
        }
    } else if (s.pairingExpired) {
        out << tr("The pairing code expired") << "\n";
    }
    if (s.locked) {
        out << tr("Screen locked; all connections dropped") << "\n";
    }
    if (s.storeProblem) {
        out << console::storeRefused(*s.storeProblem);
    }
    out << channelText(s.channel) << "\n";
    out << (s.telemetry ? tr("Send anonymous usage data: on")
                        : tr("Send anonymous usage data: off"))
        << "\n";
    if (s.lastError) {
        out << line(*s.lastError) << "\n";
    }
    if (s.notice) {
        out << line(*s.notice) << "\n";
    }
}

template <typename T> nlohmann::json orNull(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json stateJson(const platform::ControlState& s) {
    return {
        {"permission",
         {{"granted", s.permitted},
          {"reason", s.permissionReason.empty() ? nlohmann::json(nullptr)
                                                : nlohmann::json(s.permissionReason)},
          {"steps", s.guide}}},
        {"name", s.serviceName},
        {"port", orNull(s.port)},
        {"pairingPort", orNull(s.pairingPort)},
        {"discoverable", s.discoverable},
        {"pin", orNull(s.pin)},
        {"pinSecondsLeft", orNull(s.pinSecondsLeft)},
        {"pairingExpired", s.pairingExpired},
        {"locked", s.locked},
        {"connection", s.channel.empty() ? nlohmann::json(nullptr) : nlohmann::json(s.channel)},
        {"telemetry", s.telemetry},
        {"lastError", orNull(s.lastError)},
        {"notice", orNull(s.notice)},
        {"storeProblem", orNull(s.storeProblem)},
    };
}

nlohmann::json devicesJson(const std::vector<platform::ControlDevice>& devices) {
    auto list = nlohmann::json::array();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        list.push_back({{"number", i + 1},
                        {"id", devices[i].id},
                        {"name", devices[i].name},
                        {"connected", devices[i].connected}});
    }
    return list;
}

// Text a peer chose, as a terminal line shows it.
// The device a user named by ID or number, among `devices`.
const platform::ControlDevice* named(const std::vector<platform::ControlDevice>& devices,
                                     std::string_view name) {
    std::vector<PairedDevice> paired;
    for (const auto& d : devices) {
        PairedDevice p;
        p.deviceID = d.id;
        paired.push_back(p);
    }
    const auto id = console::resolveDevice(paired, name);
    if (!id) {
        return nullptr;
    }
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [&](const platform::ControlDevice& d) { return d.id == *id; });
    return it != devices.end() ? &*it : nullptr;
}

std::string dump(const nlohmann::json& value) {
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace

int runControlCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    if (argc < 2) {
        return usage(err);
    }
    const std::string_view verb = argv[1];
    const auto needs = [&](int count) { return argc == 2 + count; };
    const auto json = argc == 3 && std::string_view(argv[2]) == "--json";
    try {
        if (verb == "--help" || verb == "-h" || verb == "help") {
            help(out);
        } else if (argc >= 3 && (std::string_view(argv[argc - 1]) == "--help" ||
                                 std::string_view(argv[argc - 1]) == "-h")) {
            help(out);
        } else if (verb == "state" && (needs(0) || json)) {
            const auto state = platform::ControlClient().state();
            if (json) {
                out << dump(stateJson(state));
            } else {
                printState(state, out);
            }
        } else if (verb == "devices" && (needs(0) || json)) {
            const auto devices = platform::ControlClient().devices();
            if (json) {
                out << dump(devicesJson(devices));
            } else {
                if (devices.empty()) {
                    out << tr("No device paired yet") << "\n";
                }
                for (std::size_t i = 0; i < devices.size(); ++i) {
                    out << i + 1 << ". " << (devices[i].connected ? "● " : "○ ")
                        << shown(devices[i].name) << "  [" << shown(devices[i].id) << "]\n";
                }
            }
        } else if (verb == "pair" && needs(0)) {
            platform::ControlClient client;
            if (const auto open = client.state().pin) {
                err << tr("A pairing window is already open; its code stays the same.") << "\n";
                out << *open << "\n";
            } else if (const std::string pin = client.pair(); !pin.empty()) {
                out << shown(pin) << "\n";
            } else {
                // A host with a display shows its PIN only there.
                out << tr("The pairing window is open; its code is shown on the host's screen")
                    << "\n";
            }
        } else if (verb == "cancel" && needs(0)) {
            platform::ControlClient client;
            if (!client.state().pin) {
                out << tr("No pairing window is open") << "\n";
            } else {
                client.cancel();
            }
        } else if (verb == "disconnect" && needs(1)) {
            platform::ControlClient client;
            const auto devices = client.devices();
            const auto* device = named(devices, argv[2]);
            if (device != nullptr && !device->connected) {
                out << fill(tr("{1} is not connected"), {shown(device->name)}) << "\n";
            } else {
                client.disconnect(argv[2]); // an unknown name gets the host's answer
            }
        } else if (verb == "unpair" && needs(1)) {
            platform::ControlClient().unpair(argv[2]);
        } else if (verb == "telemetry" && needs(1) &&
                   (std::string_view(argv[2]) == "on" || std::string_view(argv[2]) == "off")) {
            const bool on = std::string_view(argv[2]) == "on";
            platform::ControlClient client;
            if (client.state().telemetry == on) {
                out << (on ? tr("Anonymous usage data is already on")
                           : tr("Anonymous usage data is already off"))
                    << "\n";
            } else {
                client.setTelemetry(on);
            }
        } else if (verb == "show" && needs(0)) {
            platform::ControlClient client;
            client.basicState(); // a host runs, or the error says none does
            if (client.showWindow()) {
                // the session's window came to the front
            } else if (hasDisplay() && PermissionChecker::spawnDetached({})) {
                // A host without a window (headless, the user unit): the desktop program
                // becomes its window.
                out << tr("Quillon's window opens") << "\n";
            } else {
                client.show(); // the host's own console (a terminal) shows itself
            }
        } else if (verb == "quit" && needs(0)) {
            platform::ControlClient().quit();
        } else {
            return usage(err);
        }
    } catch (const platform::ControlError& e) {
        err << "quillon ctl: " << line(e.what()) << "\n";
        return 1;
    }
    return 0;
}

int handOverToRunningWindow(std::ostream& out, std::ostream& err) {
    try {
        // The window may be starting: its name comes once its process is on the bus.
        if (platform::ControlClient().showWindow(std::chrono::seconds(10))) {
            out << tr("Quillon is already running; it was asked to show its window") << "\n";
            return 0;
        }
        err << "quillon: " << tr("Quillon's window went away while it was asked to show itself")
            << "\n";
    } catch (const platform::ControlError& e) {
        err << "quillon: " << fill(tr("Quillon's window cannot be reached: {1}"), {line(e.what())})
            << "\n";
    }
    return 1;
}

int handOverToRunningHost(std::ostream& out, std::ostream& err) {
    try {
        platform::ControlClient().show();
        out << tr("Quillon is already running; it was asked to show its window") << "\n";
        return 0;
    } catch (const platform::ControlError& e) {
        err << "quillon: "
            << fill(tr("another instance holds {1} but cannot be reached: {2}"),
                    {platform::InstanceLock::defaultPath(), e.what()})
            << "\n";
        return 1;
    }
}

} // namespace quillon
