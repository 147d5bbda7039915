// test-labels: coordinator
// test-language: zh_CN
#include "Quillon/Console/ConsoleText.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace quillon;
using namespace quillon::console;
using Kind = Command::Kind;

namespace {

TEST(ConsoleTextTest, ParsesCommands) {
    const std::vector<std::pair<std::string, Command>> cases = {
        {"", {Kind::none, ""}},
        {"   ", {Kind::none, ""}},
        {"pair", {Kind::pair, ""}},
        {"  PAIR  ", {Kind::pair, ""}},
        {"cancel", {Kind::cancel, ""}},
        {"devices", {Kind::devices, ""}},
        {"disconnect 2", {Kind::disconnect, "2"}},
        {"unpair A1B2-C3", {Kind::unpair, "A1B2-C3"}},
        {"unpair", {Kind::missingArgument, "unpair"}},
        {"telemetry on", {Kind::telemetryOn, ""}},
        {"telemetry OFF", {Kind::telemetryOff, ""}},
        {"telemetry", {Kind::telemetryStatus, ""}},
        {"telemetry maybe", {Kind::unknown, "telemetry maybe"}},
        {"quit", {Kind::quit, ""}},
        {"help", {Kind::help, ""}},
        {"reboot now", {Kind::unknown, "reboot"}},
    };
    for (const auto& [line, expected] : cases) {
        EXPECT_EQ(parseCommand(line), expected) << '"' << line << '"';
    }
}

TEST(ConsoleTextTest, DeviceListMarksConnectedDevicesAndResolvesNames) {
    EXPECT_EQ(deviceList({}, {}), "尚未配对任何设备\n");
    const std::vector<PairedDevice> devices = {
        {"AAAA-1", "iPad", {}, 10, std::nullopt},
        {"BBBB-2", "iPad mini", {}, 20, std::nullopt},
    };
    EXPECT_EQ(deviceList(devices, {"BBBB-2"}), "1. ○ iPad  [AAAA-1]\n2. ● iPad mini  [BBBB-2]\n");

    EXPECT_EQ(resolveDevice(devices, "bbbb-2"), "BBBB-2");
    EXPECT_EQ(resolveDevice(devices, "1"), "AAAA-1");
    for (const char* bad : {"0", "3", "", "CCCC", "99999999999999999999", "-1"}) {
        EXPECT_EQ(resolveDevice(devices, bad), std::nullopt) << bad;
    }
}

// A paired device's name is client text: it must not retitle or clear the terminal, nor forge
// a console line such as a PIN.
TEST(ConsoleTextTest, DeviceNamesAreShownEscapedAndBounded) {
    const std::vector<PairedDevice> devices = {
        {"AAAA-1", "\x1b]0;pwned\x07\x1b[2JiPad\r\n配对码：123456", {}, 10, std::nullopt},
        {"BBBB-2", std::string(1 << 20, 'n'), {}, 20, std::nullopt},
    };
    const std::string list = deviceList(devices, {});
    EXPECT_EQ(list.find('\x1b'), std::string::npos);
    EXPECT_EQ(list.find('\r'), std::string::npos);
    const auto firstLine = list.substr(0, list.find('\n'));
    EXPECT_EQ(firstLine, "1. ○ \\x1B]0;pwned\\x07\\x1B[2JiPad\\x0D\\x0A配对码：123456  [AAAA-1]");
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 2);
    EXPECT_LT(list.size(), 400u);
}

// Each refusal in words the user can act on; what the peer supplied (its reason text) is shown
// escaped and bounded, the address as the transport gave it.
TEST(ConsoleTextTest, NoticesSayWhatWasRefusedAndFromWhere) {
    using K = HostNotice::Kind;
    const struct {
        HostNotice notice;
        std::string line;
    } cases[] = {
        {{K::wrongPIN, HostChannel::wifi, "192.0.2.7", 0, ""},
         "配对被拒绝（配对码不对）：192.0.2.7"},
        {{K::unknownDevice, HostChannel::wifi, "fe80::1", 401, "unknown"},
         "连接被拒绝（设备未配对，请在 iPad 上重新配对）：fe80::1"},
        {{K::badToken, HostChannel::usb, "", 403, "bad token"},
         "连接被拒绝（配对凭据不符，请解除配对后重新配对）：数据线"},
        {{K::outdatedClient, HostChannel::wifi, "192.0.2.7", 426, "upgrade"},
         "连接被拒绝（iPad 上的应用版本不兼容，请更新）：192.0.2.7"},
        {{K::refused, HostChannel::wifi, "192.0.2.7", 400, "hello first\x1b[2J\n配对码：1"},
         "连接被拒绝：192.0.2.7（400 hello first\\x1B[2J\\x0A配对码：1）"},
        // A reason the host itself sends is said in the run's language (here the same text).
        {{K::refused, HostChannel::wifi, "192.0.2.7", 400, "首个消息必须是 hello"},
         "连接被拒绝：192.0.2.7（400 首个消息必须是 hello）"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(noticeLine(c.notice), c.line);
    }
    const std::string huge =
        noticeLine({K::refused, HostChannel::wifi, "192.0.2.7", 400, std::string(1 << 20, 'r')});
    EXPECT_LT(huge.size(), 400u);
}

TEST(ConsoleTextTest, FooterAndPermission) {
    EXPECT_EQ(footer(std::nullopt), "未连接\n");
    EXPECT_EQ(footer(HostChannel::wifi), "已连接 · WiFi\n");
    EXPECT_EQ(footer(HostChannel::usb), "已连接 · 数据线\n");
    EXPECT_EQ(permission({true, "", {}}), "辅助功能已授权\n");
    const auto missing =
        permission({false, "no DISPLAY is set",
                    guideFor(PermissionGuide::Situation::x11NoDisplay, "/usr/bin/quillon")});
    EXPECT_EQ(missing.rfind("需要辅助功能权限（no DISPLAY is set）\n", 0), 0u) << missing;
    EXPECT_NE(missing.find("没有这个权限"), std::string::npos);
    // The session's steps, numbered, in the same language.
    EXPECT_NE(missing.find("解决办法：\n  1. Quillon 是在桌面会话之外启动的"), std::string::npos)
        << missing;
    EXPECT_NE(missing.find("\n  3. "), std::string::npos) << missing;
}

} // namespace
