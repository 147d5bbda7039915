// test-labels: shell
// test-language: zh_CN
// The tray menu, the console window and the permission guide, drawn on Qt's offscreen
// platform from published states: the exact items, texts and commands, the permission poll,
// and the guide that changes only when asked to check again.
#include "Quillon/Console/ConsoleText.hpp"
#include "Quillon/Shell/ConsoleWindow.hpp"
#include "Quillon/Shell/DesktopShell.hpp"
#include "Quillon/Shell/DisplayPlatform.hpp"
#include "Quillon/Shell/PermissionView.hpp"
#include "Quillon/Shell/PermissionWindow.hpp"
#include "Quillon/Shell/RemoteFace.hpp"
#include "Quillon/Shell/TrayMenu.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <map>
#include <regex>
#include <utility>

using namespace quillon;
using namespace quillon::shell;
using namespace std::chrono_literals;

namespace {

QApplication& app() {
    static int argc = 1;
    static char name[] = "ShellViewsTests";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = new QApplication(argc, argv);
    return *instance;
}

// Records every command in order; the permission answer is the test's to set.
class RecordingActions : public ShellActions {
public:
    std::vector<std::string> calls;
    PermissionChecker::Status answer{true, {}, {}};
    bool telemetry = true;
    bool login = false;

    void beginPairing() override { calls.push_back("beginPairing"); }
    void endPairing() override { calls.push_back("endPairing"); }
    void disconnect(const std::string& id) override { calls.push_back("disconnect " + id); }
    void unpair(const std::string& id) override { calls.push_back("unpair " + id); }
    bool telemetryEnabled() override { return telemetry; }
    void setTelemetryEnabled(bool on) override {
        calls.push_back(std::string("telemetry ") + (on ? "on" : "off"));
    }
    bool startsAtLogin() override { return login; }
    void setStartsAtLogin(bool on) override {
        calls.push_back(std::string("login ") + (on ? "on" : "off"));
    }
    PermissionChecker::Status permission() override { return answer; }
    std::optional<std::string> grantKdeInput() override {
        calls.push_back("grantKdeInput");
        return std::nullopt;
    }
    std::optional<std::string> setting(const std::string& key) override {
        const auto it = settings.find(key);
        return it == settings.end() ? std::nullopt : std::optional(it->second);
    }
    void setSetting(const std::string& key, const std::string& value,
                    std::function<void(std::optional<std::string>)> done) override {
        calls.push_back("set " + key + "=" + value);
        std::optional<std::string> refusal;
        if (key == "port" && value != "auto" && std::atoi(value.c_str()) < 1024) {
            refusal = "port takes auto or a port from 1024 to 65534";
        } else {
            settings[key] = value;
        }
        if (answerLater) {
            // A host elsewhere answers when it has stored it.
            later.push_back([done, refusal] { done(refusal); });
        } else {
            done(refusal);
        }
    }
    bool answerLater = false;
    std::vector<std::function<void()>> later;
    std::string computerName() override { return "desk"; }
    std::string defaultComputerName() override { return "desk"; }
    std::map<std::string, std::string> settings;
    void relaunch() override { calls.push_back("relaunch"); }
    void showPermissions() override { calls.push_back("showPermissions"); }
    void quit() override { calls.push_back("quit"); }
};

PairedDevice device(const std::string& id, const std::string& name, double pairedAt) {
    return PairedDevice{id, name, wire::Bytes(32, 1), pairedAt, std::nullopt};
}

const PairedDevice kPro = device("AAAA-1", "iPad Pro", 1);
const PairedDevice kAir = device("BBBB-2", "Kitchen iPad", 2);

// The menu as lines: "text:" for disabled items, "item:" for commands, "---", "error:", and
// "menu:" with the submenu's items in brackets.
std::vector<std::string> describe(const QMenu& menu) {
    std::vector<std::string> out;
    for (QAction* a : menu.actions()) {
        const std::string text = a->text().toStdString();
        if (a->isSeparator()) {
            out.push_back("---");
        } else if (a->menu() != nullptr) {
            std::string inner;
            for (const auto& line : describe(*a->menu())) {
                inner += (inner.empty() ? "" : ", ") + line;
            }
            out.push_back("menu:" + text + " [" + inner + "]");
        } else if (a->property("error").toBool()) {
            out.push_back("error:" + text);
        } else {
            out.push_back((a->isEnabled() ? "item:" : "text:") + text);
        }
    }
    return out;
}

QAction* find(const QMenu& menu, const QString& text) {
    for (QAction* a : menu.actions()) {
        if (a->text() == text) {
            return a;
        }
        if (a->menu() != nullptr) {
            if (QAction* inner = find(*a->menu(), text)) {
                return inner;
            }
        }
    }
    return nullptr;
}

// A window's visible content in layout order: labels by text (pictures by their name),
// buttons as [text], switches as "on:"/"off:" text, dividers as "---".
void collect(QLayout* layout, std::vector<std::string>& out) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (item->layout() != nullptr) {
            collect(item->layout(), out);
            continue;
        }
        QWidget* w = item->widget();
        if (w == nullptr || w->isHidden() || w->objectName() == "settings") {
            continue; // the settings have a test of their own
        }
        if (auto* check = qobject_cast<QCheckBox*>(w)) {
            out.push_back((check->isChecked() ? "on:" : "off:") + check->text().toStdString());
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            out.push_back("[" + button->text().toStdString() + "]");
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            out.push_back(label->text().isEmpty() ? "(" + label->objectName().toStdString() + ")"
                                                  : label->text().toStdString());
        } else if (auto* frame = qobject_cast<QFrame*>(w);
                   frame && frame->frameShape() == QFrame::HLine) {
            out.push_back("---");
        } else if (w->layout() != nullptr) {
            collect(w->layout(), out);
        }
    }
}

std::vector<std::string> contents(QWidget& window) {
    std::vector<std::string> out;
    collect(window.layout(), out);
    return out;
}

QPushButton* button(QWidget& window, const QString& text) {
    for (auto* b : window.findChildren<QPushButton*>()) {
        if (b->text() == text && !b->isHidden() && b->parentWidget()->isVisibleTo(&window)) {
            return b;
        }
    }
    return nullptr;
}

// Deletes the contents a redraw replaced (deleteLater), so lookups see only the current one.
void settle() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool processUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class ShellViews : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        speak("zh_CN.UTF-8");
    }
    // The language of the views from here on (glibc looks the catalogs up again after
    // setlocale).
    static void speak(const char* locale) {
        ::unsetenv("LANGUAGE");
        std::setlocale(LC_MESSAGES, locale);
    }
    RecordingActions actions;
};

HostState withStoreProblem(const std::string& problem) {
    HostState s;
    s.storeProblem = problem;
    return s;
}

HostState expiredAndUndiscoverable() {
    HostState s;
    s.pairingExpired = true;
    s.discoverable = false;
    return s;
}

const std::string kWhy = "没有这个权限，来自 iPad 的指针和按键不会有任何反应，而且不会报错。";
const std::string kTelemetryCaption =
    "只上报配对是否成功、走的哪条连接方式这类不涉及按键、指针或应用名的计数，锁屏时不上报。";

TEST_F(ShellViews, MenuShowsEachPublishedStateExactly) {
    struct Case {
        const char* name;
        HostState state;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"nothing yet",
         {},
         {"item:配对新设备", "---", "text:尚未配对任何设备", "---", "item:权限检查…", "item:退出"}},
        {"locked while pairing",
         {{}, {}, "123456", true, std::nullopt, std::nullopt},
         {"text:屏幕已锁定，连接已全部断开", "text:配对码：123456", "item:取消配对", "---",
          "text:尚未配对任何设备", "---", "item:权限检查…", "item:退出"}},
        {"one connected, one not, with an error",
         {{kPro, kAir},
          {"BBBB-2"},
          std::nullopt,
          false,
          "启动监听失败：端口被占用",
          HostChannel::wifi},
         {"item:配对新设备", "---", "menu:○ iPad Pro [item:解除配对]",
          "menu:● Kitchen iPad [item:断开, item:解除配对]", "---", "error:启动监听失败：端口被占用",
          "item:权限检查…", "item:退出"}},
    };
    QMenu menu;
    for (const auto& c : cases) {
        populateTrayMenu(menu, c.state, actions);
        EXPECT_EQ(describe(menu), c.expected) << c.name;
    }
    EXPECT_TRUE(actions.calls.empty());
}

TEST_F(ShellViews, MenuItemsRunTheirCommands) {
    QMenu menu;
    populateTrayMenu(
        menu, {{kPro, kAir}, {"AAAA-1"}, std::nullopt, false, std::nullopt, HostChannel::usb},
        actions);
    for (const char* text : {"配对新设备", "断开", "权限检查…", "退出"}) {
        find(menu, text)->trigger();
    }
    // "解除配对" of the second device (the first submenu holds the first device's).
    menu.actions()[3]->menu()->actions().back()->trigger();
    populateTrayMenu(menu, {{}, {}, "654321", false, std::nullopt, std::nullopt}, actions);
    find(menu, "取消配对")->trigger();
    EXPECT_EQ(actions.calls,
              (std::vector<std::string>{"beginPairing", "disconnect AAAA-1", "showPermissions",
                                        "quit", "unpair BBBB-2", "endPairing"}));
}

TEST_F(ShellViews, ConsoleShowsEachPublishedStateExactly) {
    struct Case {
        const char* name;
        PermissionChecker::Status permission;
        HostState state;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"permitted, nothing paired, not connected",
         {true, {}, {}},
         {},
         {"(checkmark.circle.fill)", "辅助功能已授权", "---", "[配对新设备]", "尚未配对任何设备",
          "---", "on:上报匿名使用数据", kTelemetryCaption, "off:登录时启动", "(wifi.slash)",
          "未连接", "服务运行中", "[退出]"}},
        {"missing, pairing, locked, devices on Wi-Fi, an error",
         {false, "no DISPLAY is set", {}},
         {{kPro, kAir}, {"AAAA-1"}, "042042", true, "开启配对失败：x", HostChannel::wifi},
         {"(exclamationmark.triangle.fill)",
          "需要辅助功能权限",
          kWhy,
          "原因：no DISPLAY is set",
          "[打开辅助功能设置并授权]",
          "按打开的窗口里的步骤操作，然后回到这里。",
          "---",
          "在 iPad 上输入配对码",
          "042042",
          "[取消配对]",
          "屏幕已锁定，连接已全部断开",
          "(dot.connected)",
          "iPad Pro",
          "[断开]",
          "[解除配对]",
          "(dot.faded)",
          "Kitchen iPad",
          "[解除配对]",
          "---",
          "on:上报匿名使用数据",
          kTelemetryCaption,
          "off:登录时启动",
          "开启配对失败：x",
          "(wifi)",
          "已连接 · WiFi",
          "服务待授权",
          "[退出]"}},
        {"connected over the cable",
         {true, {}, {}},
         {{kPro}, {"AAAA-1"}, std::nullopt, false, std::nullopt, HostChannel::usb},
         {"(checkmark.circle.fill)", "辅助功能已授权", "---", "[配对新设备]", "(dot.connected)",
          "iPad Pro", "[断开]", "[解除配对]", "---", "on:上报匿名使用数据", kTelemetryCaption,
          "off:登录时启动", "(cable.connector)", "已连接 · 数据线", "服务运行中", "[退出]"}},
        {"a pairing refused for a wrong PIN",
         {true, {}, {}},
         {{},
          {},
          std::nullopt,
          false,
          std::nullopt,
          std::nullopt,
          HostNotice{HostNotice::Kind::wrongPIN, HostChannel::wifi, "192.0.2.7"}},
         {"(checkmark.circle.fill)", "辅助功能已授权", "---", "[配对新设备]", "尚未配对任何设备",
          "---", "on:上报匿名使用数据", kTelemetryCaption, "off:登录时启动",
          "配对被拒绝（配对码不对）：192.0.2.7", "(wifi.slash)", "未连接", "服务运行中", "[退出]"}},
        {"the pairing records cannot be read: no pairing",
         {true, {}, {}},
         withStoreProblem("pairing store error -26008: the keychain file is damaged"),
         {"(checkmark.circle.fill)", "辅助功能已授权", "---",
          console::storeRefused("pairing store error -26008: the keychain file is damaged"),
          "[配对新设备]", "---", "on:上报匿名使用数据", kTelemetryCaption, "off:登录时启动",
          "(wifi.slash)", "未连接", "服务运行中", "[退出]"}},
        {"the PIN ran out, tablets cannot find the host",
         {true, {}, {}},
         expiredAndUndiscoverable(),
         {"(checkmark.circle.fill)", "辅助功能已授权", "---",
          "配对码已过期。请重新配对以获取新的配对码。", "[配对新设备]", "尚未配对任何设备", "---",
          "on:上报匿名使用数据", kTelemetryCaption, "off:登录时启动",
          "平板发现不了本机：avahi-daemon 没有运行。Quillon 照常监听，守护进程恢复后自动发布。",
          "(wifi.slash)", "未连接", "服务运行中", "[退出]"}},
    };
    for (const auto& c : cases) {
        actions.answer = c.permission;
        ConsoleWindow console(actions, 1h);
        console.setState(c.state);
        EXPECT_EQ(console.windowTitle().toStdString(), "Quillon 控制台");
        EXPECT_EQ(contents(console), c.expected) << c.name;
        // No pairing can work without the records: the button is there but disabled.
        if (!c.state.pairingPIN) {
            console.show();
            auto* pair = button(console, "配对新设备");
            ASSERT_NE(pair, nullptr) << c.name;
            EXPECT_EQ(pair->isEnabled(), !c.state.storeProblem) << c.name;
        }
    }
    EXPECT_TRUE(actions.calls.empty());
}

// The PIN's countdown moves with the clock, in whole seconds, without a redraw of the window.
TEST_F(ShellViews, ConsoleCountsThePinDown) {
    ConsoleWindow console(actions, 1h);
    HostState pairing;
    pairing.pairingPIN = "042042";
    pairing.pinExpiresAt = 1000.0;
    console.setState(pairing);
    settle();
    console.tick(940.0);
    const auto countdown = [&] {
        auto* label = console.findChild<QLabel*>("countdown");
        return label != nullptr ? label->text().toStdString() : std::string("(none)");
    };
    EXPECT_EQ(countdown(), "1:00 后过期");
    console.tick(958.2);
    EXPECT_EQ(countdown(), "0:42 后过期");
    console.tick(999.5);
    EXPECT_EQ(countdown(), "0:01 后过期");
}

// The settings a user expects, in the window: each change is stored as `quillon defaults
// write` stores it, a refused value is said, and the stored values are what is shown.
TEST_F(ShellViews, SettingsAreShownAndStored) {
    actions.settings = {{"port", "50100"}, {"notifications.enabled", "false"}, {"display", "all"}};
    ConsoleWindow console(actions, 1h);
    HostState listening;
    listening.port = 50100;
    listening.pairingPort = 50101;
    console.setState(listening);
    settle();
    auto* settings = console.findChild<QGroupBox*>("settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->title().toStdString(), "设置");
    EXPECT_EQ(console.findChild<QLabel*>("listening")->text().toStdString(),
              "正在监听 TCP 端口 50100（配对用 50101）");
    EXPECT_FALSE(console.findChild<QCheckBox*>("portAutomatic")->isChecked());
    EXPECT_EQ(console.findChild<QSpinBox*>("port")->value(), 50100);
    EXPECT_FALSE(console.findChild<QCheckBox*>("notifications")->isChecked());
    EXPECT_EQ(console.findChild<QComboBox*>("display")->currentText().toStdString(), "all");
    auto* name = console.findChild<QLineEdit*>("computerName");
    EXPECT_EQ(name->placeholderText().toStdString(), "desk");

    name->setText("Study");
    emit name->editingFinished();
    console.findChild<QCheckBox*>("notifications")->click();
    console.findChild<QCheckBox*>("portAutomatic")->click();
    EXPECT_EQ(actions.calls,
              (std::vector<std::string>{"set computerName=Study", "set notifications.enabled=true",
                                        "set port=auto"}));
    // Fixed again: the spin box's port is stored.
    actions.calls.clear();
    console.findChild<QCheckBox*>("portAutomatic")->click();
    auto* port = console.findChild<QSpinBox*>("port");
    ASSERT_TRUE(port->isEnabled());
    EXPECT_EQ(actions.calls, std::vector<std::string>{"set port=50100"});
}

// The tray's icon and tooltip follow the state: idle, connected, needs attention.
TEST_F(ShellViews, TrayFollowsTheState) {
    const struct {
        const char* name;
        HostState state;
        bool permitted;
        TrayStatus status;
        const char* icon;
    } cases[] = {
        {"idle", {}, true, TrayStatus::idle, "quillon"},
        {"connected", {{kPro}, {"AAAA-1"}}, true, TrayStatus::connected, "quillon-connected"},
        {"no permission",
         {{kPro}, {"AAAA-1"}},
         false,
         TrayStatus::needsAttention,
         "quillon-attention"},
        {"records unreadable", withStoreProblem("x"), true, TrayStatus::needsAttention,
         "quillon-attention"},
        {"undiscoverable", expiredAndUndiscoverable(), true, TrayStatus::needsAttention,
         "quillon-attention"},
        {"an error",
         {{}, {}, std::nullopt, false, "启动监听失败：x"},
         true,
         TrayStatus::needsAttention,
         "quillon-attention"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trayStatus(c.state, c.permitted), c.status) << c.name;
        EXPECT_EQ(std::string(trayIconName(c.status)), c.icon) << c.name;
    }
    HostState connected{{kPro, kAir}, {"AAAA-1"}};
    connected.activeChannel = HostChannel::wifi;
    EXPECT_EQ(trayToolTip(connected, true), "Quillon\n已连接：iPad Pro（WiFi）");
    EXPECT_EQ(trayToolTip({}, false), "Quillon\n需要辅助功能权限\n未连接");
    EXPECT_EQ(trayToolTip(expiredAndUndiscoverable(), true), "Quillon\n平板发现不了本机\n未连接");
}

TEST_F(ShellViews, ConsoleButtonsRunTheirCommands) {
    actions.answer = {false, "no DISPLAY is set", {}};
    ConsoleWindow console(actions, 1h);
    console.setState({{kPro}, {"AAAA-1"}, std::nullopt, false, std::nullopt, HostChannel::wifi});
    settle();
    for (const char* text : {"打开辅助功能设置并授权", "配对新设备", "断开", "解除配对", "退出"}) {
        ASSERT_NE(button(console, text), nullptr) << text;
        button(console, text)->click();
    }
    for (const char* text : {"上报匿名使用数据", "登录时启动"}) {
        for (auto* check : console.findChildren<QCheckBox*>()) {
            if (check->text() == text) {
                check->click();
            }
        }
    }
    // The fix is the guide window, not a document in an editor.
    EXPECT_EQ(actions.calls,
              (std::vector<std::string>{"showPermissions", "beginPairing", "disconnect AAAA-1",
                                        "unpair AAAA-1", "quit", "telemetry off", "login on"}));
}

// The window of a host that runs elsewhere: while the host is away, the page and the menu say
// so (offering to start Quillon once it stopped) and the tray asks for attention; back, the
// state shows with the note that Quit closes this window only. A PIN the host would not tell
// this window is said to show elsewhere. A refused setting is said when the host's answer
// comes, and an answer for a window already closed changes nothing.
TEST_F(ShellViews, AWindowOfAHostElsewhereSaysWhenTheHostIsAway) {
    DesktopShell shell(actions, {1h, /*trayIcon=*/false, /*remote=*/true});
    const auto redraw = [] {
        QApplication::processEvents();
        settle();
    };
    shell.setAway(HostAway{"Quillon 没有在运行", "它停止了。", true});
    redraw();
    EXPECT_EQ(contents(shell.console()),
              (std::vector<std::string>{"(exclamationmark.triangle.fill)", "Quillon 没有在运行",
                                        "它停止了。", "[启动 Quillon]", "[退出]"}));
    EXPECT_EQ(describe(shell.menu()),
              (std::vector<std::string>{"text:Quillon 没有在运行", "item:启动 Quillon", "---",
                                        "item:退出"}));
    find(shell.menu(), "启动 Quillon")->trigger();
    button(shell.console(), "退出")->click();
    shell.setAway(HostAway{"正在连接 Quillon…", {}, false});
    redraw();
    EXPECT_EQ(describe(shell.menu()),
              (std::vector<std::string>{"text:正在连接 Quillon…", "---", "item:退出"}));
    EXPECT_EQ(button(shell.console(), "启动 Quillon"), nullptr);

    HostState pairing;
    pairing.devices = {kPro};
    pairing.pairingPIN = std::string(); // open, its code not told to this window
    shell.setState(pairing);
    shell.setAway(std::nullopt);
    redraw();
    const auto shown = contents(shell.console());
    EXPECT_EQ(
        std::vector<std::string>(shown.begin() + 2, shown.begin() + 5),
        (std::vector<std::string>{"---",
                                  "配对窗口已打开。配对码显示在 Quillon 运行的地方（它的终端或"
                                  "系统日志）：这个窗口与正在运行的 Quillon 不是同一个程序。",
                                  "[取消配对]"}));
    EXPECT_EQ(shown.back(), "这里的 Quillon 独立运行（用户服务单元或终端）：“退出”只关闭这个窗口，"
                            "平板照常可用。");
    EXPECT_EQ(describe(shell.menu()).front(), "text:配对码：显示在 Quillon 运行的地方");
    EXPECT_EQ(actions.calls, (std::vector<std::string>{"relaunch", "quit"}));

    actions.answerLater = true;
    auto* automatic = shell.console().findChild<QCheckBox*>("portAutomatic");
    automatic->click(); // fixed, at the spin box's port
    auto* port = shell.console().findChild<QSpinBox*>("port");
    port->setValue(1024);
    port->setMinimum(80);
    port->setValue(80);
    emit port->editingFinished();
    redraw();
    EXPECT_EQ(shell.console().findChild<QLabel*>("settingError"), nullptr);
    for (auto& answer : std::exchange(actions.later, {})) {
        answer();
    }
    redraw();
    auto* error = shell.console().findChild<QLabel*>("settingError");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text().toStdString(), "port takes auto or a port from 1024 to 65534");
    {
        ConsoleWindow closing(actions, 1h);
        closing.findChild<QCheckBox*>("portAutomatic")->click();
    }
    ASSERT_EQ(actions.later.size(), 1u);
    actions.later.front()(); // for a window that is gone
    redraw();
}

TEST(FacePhases, FollowTheHostAndEndOnlyWhenClosed) {
    using P = FacePhase;
    using E = FaceEvent;
    const struct {
        P from;
        E event;
        std::optional<P> to;
    } table[] = {
        {P::connecting, E::answered, P::live},      {P::connecting, E::vanished, P::hostGone},
        {P::connecting, E::appeared, std::nullopt}, {P::connecting, E::gaveUp, P::hostGone},
        {P::connecting, E::closed, P::closed},      {P::live, E::answered, P::live},
        {P::live, E::vanished, P::hostGone},        {P::live, E::appeared, std::nullopt},
        {P::live, E::gaveUp, std::nullopt},         {P::live, E::closed, P::closed},
        {P::hostGone, E::answered, P::live},        {P::hostGone, E::vanished, std::nullopt},
        {P::hostGone, E::appeared, P::connecting},  {P::hostGone, E::gaveUp, std::nullopt},
        {P::hostGone, E::closed, P::closed},        {P::closed, E::answered, std::nullopt},
        {P::closed, E::vanished, std::nullopt},     {P::closed, E::appeared, std::nullopt},
        {P::closed, E::gaveUp, std::nullopt},       {P::closed, E::closed, std::nullopt},
    };
    for (const auto& row : table) {
        EXPECT_EQ(faceTransition(row.from, row.event), row.to)
            << rawValue(row.from) << " + " << rawValue(row.event);
    }
}

TEST(PermissionViewStates, FollowsThePollAndKeepsTheRelaunchOnceGrantedHere) {
    using V = PermissionView;
    struct Step {
        V from;
        bool permitted;
        V to;
    };
    const std::vector<Step> steps = {
        {V::missing, false, V::missing},
        {V::missing, true, V::grantedHere},
        {V::granted, true, V::granted},
        {V::granted, false, V::missing},
        {V::grantedHere, true, V::grantedHere},
        {V::grantedHere, false, V::missingAgain},
        {V::missingAgain, false, V::missingAgain},
        {V::missingAgain, true, V::grantedHere},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(nextPermissionView(s.from, s.permitted), s.to)
            << static_cast<int>(s.from) << " " << s.permitted;
    }
    EXPECT_EQ(initialPermissionView(true), V::granted);
    EXPECT_EQ(initialPermissionView(false), V::missing);
    for (const auto& [view, authorized, relaunch] :
         std::vector<std::tuple<V, bool, bool>>{{V::missing, false, false},
                                                {V::granted, true, false},
                                                {V::grantedHere, true, true},
                                                {V::missingAgain, false, true}}) {
        EXPECT_EQ(isAuthorized(view), authorized);
        EXPECT_EQ(offersRelaunch(view), relaunch);
    }
}

TEST_F(ShellViews, ConsoleSeesTheGrantWithinASecondAndOffersTheRelaunch) {
    actions.answer = {false, "no DISPLAY is set", {}};
    ConsoleWindow console(actions); // the real one-second poll
    console.show();
    const auto has = [&](const std::string& text) {
        const auto c = contents(console);
        return std::find(c.begin(), c.end(), text) != c.end();
    };
    ASSERT_TRUE(has("需要辅助功能权限"));
    EXPECT_FALSE(has("[已授权 — 点此重启使其生效]"));

    actions.answer = {true, {}, {}};
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(processUntil([&] { return has("辅助功能已授权"); }, 1500ms));
    EXPECT_LE(clock.elapsed(), 1300);
    EXPECT_TRUE(has("[已授权 — 点此重启使其生效]"));
    EXPECT_TRUE(has("服务运行中"));
    button(console, "已授权 — 点此重启使其生效")->click();

    // Revoked again: the status turns back, the relaunch button stays.
    actions.answer = {false, "no DISPLAY is set", {}};
    ASSERT_TRUE(processUntil([&] { return has("需要辅助功能权限"); }, 1500ms));
    EXPECT_TRUE(has("[已授权 — 点此重启使其生效]"));
    EXPECT_TRUE(has("服务待授权"));
    EXPECT_EQ(actions.calls, std::vector<std::string>{"relaunch"});
}

TEST_F(ShellViews, GuideChangesOnlyWhenCheckedAgain) {
    actions.answer = {false, "no DISPLAY is set",
                      guideFor(PermissionGuide::Situation::x11NoDisplay, "/usr/bin/quillon")};
    PermissionWindow guide(actions);
    guide.show();
    EXPECT_EQ(guide.windowTitle().toStdString(), "权限检查");
    const auto steps = actions.answer.guide.steps;
    EXPECT_EQ(contents(guide),
              (std::vector<std::string>{"Quillon 需要辅助功能权限", kWhy, "(xmark.circle.fill)",
                                        "未授权", "原因：no DISPLAY is set", "解决办法：",
                                        "1. " + steps[0], "2. " + steps[1], "3. " + steps[2],
                                        "授权后需要重新启动 Quillon 才会生效。", "[重新检查]"}));
    actions.answer = {true, {}, {}};
    QApplication::processEvents(QEventLoop::AllEvents, 1200); // no poll: nothing changes
    EXPECT_FALSE(guide.shownAsGranted());
    EXPECT_NE(std::find(contents(guide).begin(), contents(guide).end(), "未授权"),
              contents(guide).end());

    button(guide, "重新检查")->click();
    EXPECT_EQ(contents(guide),
              (std::vector<std::string>{"Quillon 需要辅助功能权限", kWhy, "(checkmark.circle.fill)",
                                        "已授权", "授权后需要重新启动 Quillon 才会生效。",
                                        "[重新检查]"}));
    EXPECT_TRUE(actions.calls.empty());
}

// On KDE the guide offers to write KWin's grant itself, and says what happened.
TEST_F(ShellViews, KdeGuideWritesTheGrant) {
    actions.answer = {false, "KWin refused", guideFor(PermissionGuide::Situation::kde, "/q")};
    PermissionWindow guide(actions);
    ASSERT_NE(button(guide, "在 KDE 上授权输入"), nullptr);
    button(guide, "在 KDE 上授权输入")->click();
    EXPECT_EQ(actions.calls, std::vector<std::string>{"grantKdeInput"});
    const auto c = contents(guide);
    EXPECT_NE(std::find(c.begin(), c.end(), "完成。请注销后重新登录，再启动 Quillon。"), c.end());
}

// In English nothing but the user's own data (device names, errors, PINs) is left in
// Chinese: every text of the views is in the catalog.
TEST_F(ShellViews, EnglishLeavesNoChineseInTheViews) {
    speak("C.UTF-8");
    HostState busy{{kPro}, {"AAAA-1"}, "042042", true, std::nullopt, HostChannel::usb};
    busy.discoverable = false;
    busy.notice = HostNotice{HostNotice::Kind::badToken, HostChannel::usb, ""};
    HostState broken = withStoreProblem("x");
    broken.pairingExpired = true;
    const std::regex han("[\xE4-\xE9][\x80-\xBF][\x80-\xBF]");
    QMenu menu;
    std::vector<std::string> shown;
    for (const auto& state : {HostState{}, busy, broken}) {
        populateTrayMenu(menu, state, actions);
        for (const auto& line : describe(menu)) {
            shown.push_back(line);
        }
        shown.push_back(trayToolTip(state, false));
        for (const auto situation :
             {PermissionGuide::Situation::other, PermissionGuide::Situation::kde,
              PermissionGuide::Situation::waylandNothing}) {
            const bool permitted = situation == PermissionGuide::Situation::other;
            actions.answer = {permitted, permitted ? "" : "no DISPLAY is set",
                              permitted ? PermissionGuide{} : guideFor(situation, "/q")};
            ConsoleWindow console(actions, 1h);
            console.setState(state);
            for (const auto& line : contents(console)) {
                shown.push_back(line);
            }
            for (auto* label : console.findChild<QGroupBox*>("settings")->findChildren<QLabel*>()) {
                shown.push_back(label->text().toStdString());
            }
            for (auto* check :
                 console.findChild<QGroupBox*>("settings")->findChildren<QCheckBox*>()) {
                shown.push_back(check->text().toStdString());
            }
            PermissionWindow guide(actions);
            for (const auto& line : contents(guide)) {
                shown.push_back(line);
            }
            shown.push_back(console.windowTitle().toStdString());
            shown.push_back(guide.windowTitle().toStdString());
        }
    }
    for (const auto& line : shown) {
        EXPECT_FALSE(std::regex_search(line, han)) << line;
    }
    EXPECT_NE(std::find(shown.begin(), shown.end(), "item:Pair New Device"), shown.end());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Quillon Console"), shown.end());
    speak("zh_CN.UTF-8");
}

// Where Qt can run: a plugin that is there for a display that answers; otherwise one line that
// says what is wrong and suggests --headless (never Qt's abort).
TEST_F(ShellViews, DisplayPlatformIsChosenOrTheProblemSaid) {
    speak("C.UTF-8");
    const struct {
        const char* name;
        DisplayFacts facts;
        DisplayChoice choice;
    } cases[] = {
        {"user's platform", {"offscreen"}, {"offscreen", ""}},
        {"wayland", {"", "wayland-0", ":0", true, true, true, true}, {"wayland", ""}},
        {"wayland without Qt's plugin, XWayland there",
         {"", "wayland-0", ":0", false, true, true, true},
         {"xcb", ""}},
        {"x11", {"", "", ":0", false, true, false, true}, {"xcb", ""}},
        {"nothing set",
         {},
         {"", "No graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set); to run in a "
              "terminal use quillon --headless"}},
        {"a DISPLAY naming no server",
         {"", "", ":78", false, true, false, false},
         {"", "The X display :78 does not answer; to run in a terminal use quillon --headless"}},
        {"wayland only, no plugin",
         {"", "wayland-0", "", false, true, true, false},
         {"", "Qt's Wayland support is not installed (Debian package qt6-wayland) and no X "
              "server can be used; install it, or to run in a terminal use quillon --headless"}},
        {"a dead compositor",
         {"", "wayland-9", "", true, true, false, false},
         {"", "The Wayland display wayland-9 does not answer; to run in a terminal use quillon "
              "--headless"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chooseDisplayPlatform(c.facts), c.choice) << c.name;
    }
    speak("zh_CN.UTF-8");
}

} // namespace
