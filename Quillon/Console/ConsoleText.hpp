#pragma once

#include "Quillon/Host/ChannelArbiter.hpp"
#include "Quillon/Host/HostNotice.hpp"
#include "Quillon/Host/PermissionChecker.hpp"
#include "Quillon/Pairing/PairedDevice.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// The texts and commands of the terminal console.
namespace console {

struct Command {
    enum class Kind {
        none, // empty line
        pair,
        cancel,
        devices,
        disconnect,
        unpair,
        telemetryOn,
        telemetryOff,
        telemetryStatus,
        quit,
        help,
        unknown,
        missingArgument,
    };
    Kind kind = Kind::none;
    std::string argument; // device for disconnect/unpair; the word for unknown
    bool operator==(const Command&) const = default;
};

// "pair", "cancel", "devices", "disconnect ID", "unpair ID", "telemetry on|off", "quit",
// "help" (surrounding blanks ignored, command words case-insensitive).
Command parseCommand(std::string_view line);

// Client text (a device name) as the console shows it: terminal controls, line breaks and bidi
// overrides escaped, cut after a reasonable length.
std::string shown(std::string_view clientText);

// "No device paired yet", or one line per device: "● name  [ID]" when connected, else "○ ...",
// numbered so a device can be named by its number.
std::string deviceList(const std::vector<PairedDevice>& devices,
                       const std::vector<std::string>& connectedIDs);
// In place of the device list when the store cannot be read: that it cannot, why, what that
// means for pairing and what to do.
std::string storeRefused(const std::string& reason);
// What to do about a pairing store that cannot be read, at `storePath`.
std::string storeAdvice(const std::string& storePath);
// One line (without its newline) for a peer the host turned away: what happened, from where,
// and what the user can do ("Pairing refused (wrong code): 192.0.2.7").
std::string noticeLine(const HostNotice& notice);
// "Connected · Wi-Fi", "Connected · USB cable" or "Not connected" (in the run's language).
std::string footer(std::optional<HostChannel> activeChannel);
// The permission section: granted, or missing with its reason, what it means and the steps of
// the session's guide.
std::string permission(const PermissionChecker::Status& status);
std::string help();

// A device named by its identifier (any letter case) or its 1-based number in the list.
std::optional<std::string> resolveDevice(const std::vector<PairedDevice>& devices,
                                         std::string_view name);

// "Send anonymous usage data: on" or "...: off".
std::string telemetryState(bool enabled);
} // namespace console

} // namespace quillon
