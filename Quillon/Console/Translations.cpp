#include "Quillon/Console/Translations.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

namespace quillon::i18n {

namespace {

// Source text → English. The English says what the Linux host actually needs (input through
// the display server, not a settings switch), where the Chinese keeps the wording the tablet's
// users know.
const std::unordered_map<std::string_view, std::string_view>& english() {
    static const std::unordered_map<std::string_view, std::string_view> table = {
        // Windows and menu
        {"Corvane 控制台", "Corvane Console"},
        {"权限检查", "Permission Check"},
        {"屏幕已锁定，连接已全部断开", "Screen locked; all connections dropped"},
        {"屏幕已锁定，解锁后才能配对", "The screen is locked; unlock it to pair a device"},
        {"配对窗口已打开，配对码显示在主机的屏幕上",
         "The pairing window is open; its code is shown on the host's screen"},
        {"屏幕已锁定，解锁后才能解除配对", "The screen is locked; unlock it to unpair a device"},
        {"配对新设备", "Pair New Device"},
        {"配对码：", "Pairing code: "},
        {"取消配对", "Cancel Pairing"},
        {"尚未配对任何设备", "No device paired yet"},
        {"断开", "Disconnect"},
        {"解除配对", "Unpair"},
        {"权限检查…", "Permission Check…"},
        {"退出", "Quit"},
        {"辅助功能已授权", "Input permission granted"},
        {"需要辅助功能权限", "Input permission needed"},
        {"没有这个权限，来自 iPad 的指针和按键不会有任何反应，而且不会报错。",
         "Without it, pointer and key input from the iPad has no effect, and nothing reports "
         "an error."},
        {"打开辅助功能设置并授权", "Show How to Fix This"},
        {"在打开的列表里找到 Quillon，把开关打开。",
         "Follow the page that opens, then come back here."},
        {"已授权 — 点此重启使其生效", "Granted — Click to Restart Quillon"},
        {"在 iPad 上输入配对码", "Enter this code on the iPad"},
        {"上报匿名使用数据", "Send anonymous usage data"},
        {"只上报配对是否成功、走的哪条连接方式这类不涉及按键、指针或应用名的计数，锁屏时不上报。",
         "Only counts such as whether pairing succeeded and which connection was used; never "
         "keys, pointer or application names. Nothing is sent while the screen is locked."},
        {"已连接 · WiFi", "Connected · Wi-Fi"},
        {"已连接 · 数据线", "Connected · USB cable"},
        {"未连接", "Not connected"},
        {"服务运行中", "Service running"},
        {"服务待授权", "Service waiting for input permission"},
        {"登录时启动", "Start at login"},
        {"Corvane 需要辅助功能权限", "Corvane needs permission to post input"},
        {"已授权", "Granted"},
        {"未授权", "Not granted"},
        {"授权后需要重新启动 Corvane 才会生效。",
         "After fixing it, restart Corvane for the change to take effect."},
        {"打开系统设置", "Show the Fix"},
        {"重新检查", "Check Again"},
        // Terminal console
        {"配对窗口已关闭", "Pairing window closed"},
        {"配对码已过期", "The pairing code expired"},
        {"屏幕已解锁", "Screen unlocked"},
        {"输入 help 查看命令", "Type help for the commands"},
        {"没有这个设备：", "No such device: "},
        {" 需要设备 ID 或序号", " needs a device ID or number"},
        {"未知命令：", "Unknown command: "},
        {"上报匿名使用数据：", "Send anonymous usage data: "},
        {"开", "on"},
        {"关", "off"},
        {"没有打开的配对窗口", "No pairing window is open"},
        {"正在退出", "Quitting"},
        {"输入已结束；主机继续运行（quillon ctl quit 或 SIGTERM 停止）",
         "Input ended; the host keeps running (quillon ctl quit or SIGTERM stops it)"},
        {"平板将看到的名字：", "The tablet will see this computer as: "},
        {"正在监听", "Listening"},
        {"原因：", "Reason: "},
        {"解决办法：", "What to do: "},
        {"命令：\n"
         "  pair               配对新设备（显示配对码）\n"
         "  cancel             取消配对\n"
         "  devices            列出已配对的设备\n"
         "  disconnect ID|序号  断开设备\n"
         "  unpair ID|序号      解除配对\n"
         "  telemetry on|off   上报匿名使用数据\n"
         "  quit               退出\n",
         "Commands:\n"
         "  pair               pair a new device (shows the pairing code)\n"
         "  cancel             cancel pairing\n"
         "  devices            list paired devices\n"
         "  disconnect ID|N    disconnect a device\n"
         "  unpair ID|N        forget a device\n"
         "  telemetry on|off   send anonymous usage data\n"
         "  quit               quit\n"},
        // Peers turned away
        {"数据线", "USB cable"},
        {"配对被拒绝（配对码不对）：", "Pairing refused (wrong code): "},
        {"连接被拒绝（设备未配对，请在 iPad 上重新配对）：",
         "Connection refused (device not paired; pair it again on the iPad): "},
        {"连接被拒绝（配对凭据不符，请解除配对后重新配对）：",
         "Connection refused (pairing credentials do not match; unpair and pair again): "},
        {"连接被拒绝（iPad 上的应用版本不兼容，请更新）：",
         "Connection refused (the iPad app's version is not compatible; update it): "},
        {"连接被拒绝：", "Connection refused: "},
        // A pairing store that cannot be used
        {"无法读取配对记录（", "Cannot read the pairing records ("},
        {"）", ")"},
        {"已配对的设备无法连接，也无法配对新设备。",
         "Paired devices cannot connect, and no new device can be paired."},
        // Failures the coordinator reports with a fixed prefix
        {"启动监听失败：", "Could not start listening: "},
        {"开启配对失败：", "Could not open pairing: "},
        {"解锁后恢复监听失败：", "Could not resume listening after unlock: "},
        // Single instance and the control interface
        {"Quillon 已在运行，已让它显示控制台",
         "Quillon is already running; its console was brought to the front"},
        {"没有图形显示（DISPLAY 和 WAYLAND_DISPLAY 都未设置）；在终端里运行请用 quillon "
         "--headless",
         "No graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set); to run in a "
         "terminal use quillon --headless"},
    };
    return table;
}

std::atomic<int> chosen{-1};

// "zh_CN.UTF-8" → "zh"; "C.UTF-8" → "C".
std::string languageOf(const char* locale) {
    std::string value(locale);
    const auto cut = value.find_first_of("_.@");
    return cut == std::string::npos ? value : value.substr(0, cut);
}

std::optional<Language> fromCode(const std::string& code) {
    if (code.empty()) {
        return std::nullopt;
    }
    if (code == "zh") {
        return Language::source;
    }
    return Language::english;
}

} // namespace

Language languageFromEnvironment() {
    const char* locale = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            locale = value;
            break;
        }
    }
    const std::string base = locale != nullptr ? languageOf(locale) : std::string();
    if (base.empty() || base == "C" || base == "POSIX") {
        return Language::source;
    }
    // LANGUAGE only counts when a real locale is set (gettext's rule); its first language
    // with a known answer wins.
    if (const char* list = std::getenv("LANGUAGE"); list != nullptr && *list != '\0') {
        std::string entries(list);
        std::size_t start = 0;
        while (start <= entries.size()) {
            const auto end = entries.find(':', start);
            const auto entry =
                entries.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (const auto l = fromCode(languageOf(entry.c_str()))) {
                return *l;
            }
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
    }
    return fromCode(base).value_or(Language::source);
}

Language language() {
    int value = chosen.load(std::memory_order_acquire);
    if (value < 0) {
        value = static_cast<int>(languageFromEnvironment());
        chosen.store(value, std::memory_order_release);
    }
    return static_cast<Language>(value);
}

void setLanguage(Language l) {
    chosen.store(static_cast<int>(l), std::memory_order_release);
}

std::string tr(std::string_view source) {
    if (language() == Language::english) {
        const auto& table = english();
        if (const auto it = table.find(source); it != table.end()) {
            return std::string(it->second);
        }
    }
    return std::string(source);
}

bool hasTranslation(std::string_view source) {
    return english().count(source) != 0;
}

} // namespace quillon::i18n
