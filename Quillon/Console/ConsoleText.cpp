#include "Quillon/Console/ConsoleText.hpp"

#include "Platform/Diagnostics/SafeText.hpp"
#include "Quillon/Console/Translations.hpp"
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
    return i18n::tr("上报匿名使用数据：") + i18n::tr(enabled ? "开" : "关");
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
        return i18n::tr("尚未配对任何设备") + "\n";
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
    return i18n::tr("无法读取配对记录（") + platform::safeText(reason, 512) + i18n::tr("）") +
           "\n" + i18n::tr("已配对的设备无法连接，也无法配对新设备。") + "\n";
}

std::string noticeLine(const HostNotice& n) {
    const std::string from =
        n.channel == HostChannel::usb ? i18n::tr("数据线") : platform::safeText(n.source, 64);
    switch (n.kind) {
    case HostNotice::Kind::wrongPIN:
        return i18n::tr("配对被拒绝（配对码不对）：") + from;
    case HostNotice::Kind::unknownDevice:
        return i18n::tr("连接被拒绝（设备未配对，请在 iPad 上重新配对）：") + from;
    case HostNotice::Kind::badToken:
        return i18n::tr("连接被拒绝（配对凭据不符，请解除配对后重新配对）：") + from;
    case HostNotice::Kind::outdatedClient:
        return i18n::tr("连接被拒绝（iPad 上的应用版本不兼容，请更新）：") + from;
    case HostNotice::Kind::refused:
        break;
    }
    return i18n::tr("连接被拒绝：") + from + "（" + std::to_string(n.code) + " " +
           platform::safeText(n.reason, 200) + "）";
}

std::string footer(std::optional<HostChannel> activeChannel) {
    if (!activeChannel) {
        return i18n::tr("未连接") + "\n";
    }
    return i18n::tr(*activeChannel == HostChannel::usb ? "已连接 · 数据线" : "已连接 · WiFi") +
           "\n";
}

std::string permission(bool permitted, const std::string& reason) {
    if (permitted) {
        return i18n::tr("辅助功能已授权") + "\n";
    }
    std::string text = i18n::tr("需要辅助功能权限");
    if (!reason.empty()) {
        text += "（" + reason + "）";
    }
    text += "\n" + i18n::tr("没有这个权限，来自 iPad 的指针和按键不会有任何反应，而且不会报错。") +
            "\n";
    if (!reason.empty()) {
        text += i18n::tr("解决办法：") + PermissionChecker::fixFor(reason) + "\n";
    }
    return text;
}

std::string help() {
    return i18n::tr("命令：\n"
                    "  pair               配对新设备（显示配对码）\n"
                    "  cancel             取消配对\n"
                    "  devices            列出已配对的设备\n"
                    "  disconnect ID|序号  断开设备\n"
                    "  unpair ID|序号      解除配对\n"
                    "  telemetry on|off   上报匿名使用数据\n"
                    "  quit               退出\n");
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
