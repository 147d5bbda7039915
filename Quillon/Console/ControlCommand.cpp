#include "Quillon/Console/ControlCommand.hpp"

#include "Platform/Control/ControlBus.hpp"
#include "Platform/Diagnostics/SafeText.hpp"
#include "Quillon/Console/Translations.hpp"

#include <string>
#include <string_view>

namespace quillon {

namespace {

using i18n::tr;
using platform::safeText;

// What the host answers is shown as the console shows a client's text: controls escaped (no
// terminal escape sequence, no forged line), bidirectional overrides made visible, and cut to
// a sane length. A device name is whatever a tablet called itself.
constexpr std::size_t kNameBytes = 128;
constexpr std::size_t kLineBytes = 512;

int usage(std::ostream& err) {
    err << "usage: quillon ctl state | devices | pair | cancel | disconnect ID|N | unpair ID|N |"
           " telemetry on|off | show | quit\n";
    return 2;
}

void printState(const platform::ControlState& s, std::ostream& out) {
    if (s.permitted) {
        out << tr("辅助功能已授权") << "\n";
    } else {
        out << tr("需要辅助功能权限");
        if (!s.permissionReason.empty()) {
            out << "（" << safeText(s.permissionReason, kLineBytes) << "）";
        }
        out << "\n";
    }
    if (!s.serviceName.empty()) {
        out << tr("平板将看到的名字：") << safeText(s.serviceName, kNameBytes) << "\n";
    }
    if (s.pin) {
        out << tr("配对码：") << safeText(*s.pin, 16) << "\n";
    }
    if (s.locked) {
        out << tr("屏幕已锁定，连接已全部断开") << "\n";
    }
    if (s.channel == "usb") {
        out << tr("已连接 · 数据线") << "\n";
    } else if (s.channel == "wifi") {
        out << tr("已连接 · WiFi") << "\n";
    } else {
        out << tr("未连接") << "\n";
    }
    out << tr("上报匿名使用数据：") << tr(s.telemetry ? "开" : "关") << "\n";
    if (s.lastError) {
        out << safeText(*s.lastError, kLineBytes) << "\n";
    }
}

} // namespace

int runControlCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    if (argc < 2) {
        return usage(err);
    }
    const std::string_view verb = argv[1];
    const auto needs = [&](int count) { return argc == 2 + count; };
    try {
        if (verb == "state" && needs(0)) {
            printState(platform::ControlClient().state(), out);
        } else if (verb == "devices" && needs(0)) {
            const auto devices = platform::ControlClient().devices();
            if (devices.empty()) {
                out << tr("尚未配对任何设备") << "\n";
            }
            for (std::size_t i = 0; i < devices.size(); ++i) {
                out << i + 1 << ". " << (devices[i].connected ? "● " : "○ ")
                    << safeText(devices[i].name, kNameBytes) << "  ["
                    << safeText(devices[i].id, kNameBytes) << "]\n";
            }
        } else if (verb == "pair" && needs(0)) {
            const std::string pin = platform::ControlClient().pair();
            if (pin.empty()) {
                // A host with a display shows its PIN only there.
                out << tr("配对窗口已打开，配对码显示在主机的屏幕上") << "\n";
            } else {
                out << safeText(pin, 16) << "\n";
            }
        } else if (verb == "cancel" && needs(0)) {
            platform::ControlClient().cancel();
        } else if (verb == "disconnect" && needs(1)) {
            platform::ControlClient().disconnect(argv[2]);
        } else if (verb == "unpair" && needs(1)) {
            platform::ControlClient().unpair(argv[2]);
        } else if (verb == "telemetry" && needs(1) &&
                   (std::string_view(argv[2]) == "on" || std::string_view(argv[2]) == "off")) {
            platform::ControlClient().setTelemetry(std::string_view(argv[2]) == "on");
        } else if (verb == "show" && needs(0)) {
            platform::ControlClient().show();
        } else if (verb == "quit" && needs(0)) {
            platform::ControlClient().quit();
        } else {
            return usage(err);
        }
    } catch (const platform::ControlError& e) {
        err << "quillon ctl: " << safeText(e.what(), kLineBytes) << "\n";
        return 1;
    }
    return 0;
}

int handOverToRunningHost(std::ostream& out, std::ostream& err) {
    try {
        platform::ControlClient().show();
        out << tr("Quillon 已在运行，已让它显示控制台") << "\n";
        return 0;
    } catch (const platform::ControlError& e) {
        err << "quillon: another instance holds " << platform::InstanceLock::defaultPath()
            << " but cannot be reached: " << e.what() << "\n";
        return 1;
    }
}

} // namespace quillon
