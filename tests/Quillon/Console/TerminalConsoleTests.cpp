// test-labels: coordinator
// test-language: zh_CN
#include "Quillon/Console/TerminalConsole.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Input/RecordingInputBackend.hpp"
#include "Platform/Network/HttpClient.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Pairing/KeychainPairingStore.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using namespace quillon;
using namespace std::chrono_literals;

namespace {

class TerminalConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        main_ = std::make_shared<platform::IoContextMainQueue>();
        telemetry_ = std::make_shared<Telemetry>(
            Telemetry::Services{main_, defaults_, platform::makeCurlHttpClient(), nullptr});
        store_ = std::make_shared<InMemoryPairingStore>();
        store_->save({"AAAA-1", "iPad", wire::PSKProvider::randomBytes(32), 10, std::nullopt});
        coordinator_ = makeCoordinator(store_);
        TerminalConsole::Hooks hooks;
        hooks.print = [this](std::string_view text) { out_ += text; };
        hooks.permission = [this] { return permission_; };
        hooks.quit = [this] { ++quits_; };
        hooks.permissionPoll = 20ms;
        console_ =
            std::make_shared<TerminalConsole>(coordinator_, telemetry_, main_, std::move(hooks));
    }
    void TearDown() override {
        console_.reset();
        coordinator_->stop();
    }
    std::shared_ptr<HostCoordinator> makeCoordinator(std::shared_ptr<PairingStore> store) {
        auto geometry =
            std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 800, 600}, 1.0);
        HostCoordinator::Options options;
        options.server.display = geometry;
        options.server.advertise = false;
        return HostCoordinator::create(
            std::move(store),
            EventInjector::create({.backend = std::make_shared<platform::RecordingInputBackend>(),
                                   .geometry = geometry,
                                   .defaults = defaults_,
                                   .scheduler = std::make_shared<platform::ManualScheduler>()}),
            false, nullptr,
            {main_, defaults_, InputDiagnostics::toDiagLog(defaults_), telemetry_, nullptr},
            options);
    }
    std::string take() {
        auto text = std::move(out_);
        out_.clear();
        return text;
    }

    quillon::testing::TempDir home_;
    platform::Defaults defaults_{home_.path() + "/defaults.json"};
    std::shared_ptr<platform::IoContextMainQueue> main_;
    std::shared_ptr<Telemetry> telemetry_;
    std::shared_ptr<InMemoryPairingStore> store_;
    std::shared_ptr<HostCoordinator> coordinator_;
    std::shared_ptr<TerminalConsole> console_;
    std::string out_;
    TerminalConsole::Permission permission_{false, "no DISPLAY is set"};
    int quits_ = 0;
};

TEST_F(TerminalConsoleTest, PrintsStateAndFollowsCommands) {
    console_->attach();
    const auto first = take();
    for (const char* text : {"需要辅助功能权限（no DISPLAY is set）", "1. ○ iPad  [AAAA-1]",
                             "上报匿名使用数据：开", "未连接", "服务待授权"}) {
        EXPECT_NE(first.find(text), std::string::npos) << text << "\n" << first;
    }

    console_->execute("pair");
    const auto paired = take();
    EXPECT_TRUE(std::regex_search(paired, std::regex("\n配对码：[0-9]{6}\n"))) << paired;
    const auto pin = coordinator_->pairingPIN();
    console_->execute("pair"); // a second one keeps the code, and says so
    const auto again = take();
    EXPECT_EQ(again.rfind("配对窗口已经打开；配对码保持不变。\n", 0), 0u) << again;
    EXPECT_NE(again.find("配对码：" + *pin + "\n"), std::string::npos) << again;
    EXPECT_EQ(coordinator_->pairingPIN(), pin);
    console_->execute("cancel");
    EXPECT_EQ(take(), "配对窗口已关闭\n");

    console_->execute("disconnect 7");
    EXPECT_EQ(take(), "没有这个设备：7\n");
    console_->execute("unpair aaaa-1");
    EXPECT_EQ(take(), "尚未配对任何设备\n");
    EXPECT_TRUE(store_->allDevices().empty());

    console_->execute("telemetry off");
    EXPECT_EQ(take(), "上报匿名使用数据：关\n");
    EXPECT_FALSE(telemetry_->isEnabled());
    EXPECT_EQ(defaults_.boolean("telemetry.enabled"), false);
    console_->execute("telemetry on");
    EXPECT_TRUE(telemetry_->isEnabled());
    take();

    console_->execute("frobnicate");
    EXPECT_EQ(take().rfind("未知命令：frobnicate\n命令：", 0), 0u);
    console_->execute("quit");
    EXPECT_EQ(quits_, 1);
}

// A store directory that is a symbolic link is refused. The console must say so, with the
// precise reason, instead of "nothing paired", and `pair` must not show a PIN that could never
// be saved.
TEST_F(TerminalConsoleTest, ARefusedStoreIsShownAsSuchAndPairingIsRefused) {
    quillon::testing::TempDir dir;
    std::filesystem::create_directory(dir.path() + "/real");
    std::filesystem::create_directory_symlink(dir.path() + "/real", dir.path() + "/corvane");
    auto refused = std::make_shared<KeychainPairingStore>(
        "com.corvane.test",
        std::make_shared<platform::Keychain>(dir.path() + "/corvane/keychain.sqlite3"));
    console_.reset();
    coordinator_->stop();
    coordinator_ = makeCoordinator(refused);
    TerminalConsole::Hooks hooks;
    hooks.print = [this](std::string_view text) { out_ += text; };
    console_ = std::make_shared<TerminalConsole>(coordinator_, telemetry_, main_, std::move(hooks));
    console_->attach();

    const auto first = take();
    EXPECT_EQ(first.find("尚未配对任何设备"), std::string::npos) << first;
    const std::string reason = "无法读取配对记录（" + *coordinator_->storeProblem();
    EXPECT_NE(first.find(reason), std::string::npos) << first;
    EXPECT_NE(first.find(dir.path() + "/corvane is a symbolic link"), std::string::npos) << first;

    console_->execute("pair");
    const auto paired = take();
    EXPECT_EQ(paired.find("配对码："), std::string::npos) << paired;
    EXPECT_EQ(paired.rfind("开启配对失败：", 0), 0u) << paired;
    EXPECT_NE(paired.find("symbolic link"), std::string::npos) << paired;
    EXPECT_EQ(coordinator_->server().pairingPort(), std::nullopt);
    EXPECT_EQ(coordinator_->pairingPIN(), std::nullopt);

    console_->execute("devices");
    EXPECT_EQ(take().rfind("无法读取配对记录（", 0), 0u);
}

TEST_F(TerminalConsoleTest, PermissionChangesArePrintedOnce) {
    console_->attach();
    take();
    main_->runFor(100ms);
    EXPECT_EQ(take(), ""); // unchanged: nothing repeated
    permission_ = {true, ""};
    ASSERT_TRUE(main_->runUntil([&] { return !out_.empty(); }, 2s));
    EXPECT_EQ(take(), "辅助功能已授权\n服务运行中\n");
    main_->runFor(100ms);
    EXPECT_EQ(take(), "");
}

} // namespace
