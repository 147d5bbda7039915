// test-labels: shell
// The tray menu, the console window and the permission guide, drawn on Qt's offscreen
// platform from published states: the exact items, texts and commands, the permission poll,
// and the guide that changes only when asked to check again.
#include "Quillon/Console/Translations.hpp"
#include "Quillon/Shell/ConsoleWindow.hpp"
#include "Quillon/Shell/PermissionView.hpp"
#include "Quillon/Shell/PermissionWindow.hpp"
#include "Quillon/Shell/TrayMenu.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPushButton>

#include <chrono>
#include <regex>

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
    void openSettings() override { calls.push_back("openSettings"); }
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
        if (w == nullptr || w->isHidden()) {
            continue;
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
        i18n::setLanguage(i18n::Language::source);
    }
    RecordingActions actions;
};

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
         {false, "no DISPLAY is set", "run it inside the session"},
         {{kPro, kAir}, {"AAAA-1"}, "042042", true, "开启配对失败：x", HostChannel::wifi},
         {"(exclamationmark.triangle.fill)",
          "需要辅助功能权限",
          kWhy,
          "原因：no DISPLAY is set\n解决办法：run it inside the session",
          "[打开辅助功能设置并授权]",
          "在打开的列表里找到 Quillon，把开关打开。",
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
    };
    for (const auto& c : cases) {
        actions.answer = c.permission;
        ConsoleWindow console(actions, 1h);
        console.setState(c.state);
        EXPECT_EQ(console.windowTitle().toStdString(), "Corvane 控制台");
        EXPECT_EQ(contents(console), c.expected) << c.name;
    }
    EXPECT_TRUE(actions.calls.empty());
}

TEST_F(ShellViews, ConsoleButtonsRunTheirCommands) {
    actions.answer = {false, "no DISPLAY is set", "fix"};
    ConsoleWindow console(actions, 1h);
    console.setState({{kPro}, {"AAAA-1"}, std::nullopt, false, std::nullopt, HostChannel::wifi});
    for (const char* text : {"打开辅助功能设置并授权", "配对新设备", "断开", "解除配对", "退出"}) {
        ASSERT_NE(button(console, text), nullptr) << text;
        button(console, text)->click();
    }
    console.findChildren<QCheckBox*>()[0]->click();
    console.findChildren<QCheckBox*>()[1]->click();
    EXPECT_EQ(actions.calls,
              (std::vector<std::string>{"openSettings", "beginPairing", "disconnect AAAA-1",
                                        "unpair AAAA-1", "quit", "telemetry off", "login on"}));
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
    actions.answer = {false, "no DISPLAY is set", "fix"};
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
    actions.answer = {false, "no DISPLAY is set", "fix"};
    ASSERT_TRUE(processUntil([&] { return has("需要辅助功能权限"); }, 1500ms));
    EXPECT_TRUE(has("[已授权 — 点此重启使其生效]"));
    EXPECT_TRUE(has("服务待授权"));
    EXPECT_EQ(actions.calls, std::vector<std::string>{"relaunch"});
}

TEST_F(ShellViews, GuideChangesOnlyWhenCheckedAgain) {
    actions.answer = {false, "no DISPLAY is set", "run it inside the session"};
    PermissionWindow guide(actions);
    guide.show();
    EXPECT_EQ(guide.windowTitle().toStdString(), "权限检查");
    EXPECT_EQ(contents(guide),
              (std::vector<std::string>{
                  "Corvane 需要辅助功能权限", kWhy, "(xmark.circle.fill)", "未授权",
                  "原因：no DISPLAY is set\n解决办法：run it inside the session",
                  "授权后需要重新启动 Corvane 才会生效。", "[打开系统设置]", "[重新检查]"}));
    actions.answer = {true, {}, {}};
    QApplication::processEvents(QEventLoop::AllEvents, 1200); // no poll: nothing changes
    EXPECT_FALSE(guide.shownAsGranted());
    EXPECT_NE(std::find(contents(guide).begin(), contents(guide).end(), "未授权"),
              contents(guide).end());

    button(guide, "打开系统设置")->click();
    button(guide, "重新检查")->click();
    EXPECT_EQ(contents(guide),
              (std::vector<std::string>{"Corvane 需要辅助功能权限", kWhy, "(checkmark.circle.fill)",
                                        "已授权", "授权后需要重新启动 Corvane 才会生效。",
                                        "[打开系统设置]", "[重新检查]"}));
    EXPECT_EQ(actions.calls, std::vector<std::string>{"openSettings"});
}

// Every text the views show has an English entry: in English, nothing but the user's own
// data (device names, errors, PINs) is left in Chinese.
TEST_F(ShellViews, EnglishLeavesNoChineseInTheViews) {
    i18n::setLanguage(i18n::Language::english);
    const HostState busy{{kPro}, {"AAAA-1"}, "042042", true, std::nullopt, HostChannel::usb};
    const std::regex han("[\xE4-\xE9][\x80-\xBF][\x80-\xBF]");
    QMenu menu;
    std::vector<std::string> shown;
    for (const auto& state : {HostState{}, busy}) {
        populateTrayMenu(menu, state, actions);
        for (const auto& line : describe(menu)) {
            shown.push_back(line);
        }
        for (const bool permitted : {true, false}) {
            actions.answer = {permitted, permitted ? "" : "no DISPLAY is set", "fix"};
            ConsoleWindow console(actions, 1h);
            console.setState(state);
            for (const auto& line : contents(console)) {
                shown.push_back(line);
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
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Corvane Console"), shown.end());
    i18n::setLanguage(i18n::Language::source);
}

} // namespace
