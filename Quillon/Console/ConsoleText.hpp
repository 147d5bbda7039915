#pragma once

#include "Quillon/Host/ChannelArbiter.hpp"
#include "Quillon/Host/HostNotice.hpp"
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

// "尚未配对任何设备", or one line per device: "● name  [ID]" when connected, else "○ ...",
// numbered so a device can be named by its number.
std::string deviceList(const std::vector<PairedDevice>& devices,
                       const std::vector<std::string>& connectedIDs);
// In place of the device list when the store cannot be read: "无法读取配对记录（reason）" and
// what that means for pairing.
std::string storeRefused(const std::string& reason);
// One line (without its newline) for a peer the host turned away: what happened, from where,
// and what the user can do ("配对被拒绝（配对码不对）：192.0.2.7").
std::string noticeLine(const HostNotice& notice);
// "已连接 · WiFi", "已连接 · 数据线" or "未连接".
std::string footer(std::optional<HostChannel> activeChannel);
// The permission section: granted, or missing with its reason and what it means.
std::string permission(bool permitted, const std::string& reason);
std::string help();

// A device named by its identifier (any letter case) or its 1-based number in the list.
std::optional<std::string> resolveDevice(const std::vector<PairedDevice>& devices,
                                         std::string_view name);

// "上报匿名使用数据：开" or "…：关".
std::string telemetryState(bool enabled);
} // namespace console

} // namespace quillon
