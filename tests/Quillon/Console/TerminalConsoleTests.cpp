// test-labels: coordinator
#include "Quillon/Console/TerminalConsole.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/EventStream/RecordingPoster.hpp"
#include "Quillon/Input/CGEventSink.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "WireProtocol/PSKProvider.hpp"

#include <gtest/gtest.h>

#include <regex>

using namespace quillon;
using namespace std::chrono_literals;

namespace {

class TerminalConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        platform::Defaults::standard().remove("telemetry.enabled");
        main_ = std::make_shared<platform::IoContextMainQueue>();
        platform::setMainQueue(main_);
        store_ = std::make_shared<InMemoryPairingStore>();
        store_->save({"AAAA-1", "iPad", wire::PSKProvider::randomBytes(32), 10, std::nullopt});
        auto geometry =
            std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 800, 600}, 1.0);
        auto& defaults = platform::Defaults::standard();
        auto sink = std::make_shared<CGEventSink>(std::make_shared<platform::RecordingPoster>(),
                                                  geometry, nullptr, defaults);
        HostCoordinator::Options options;
        options.server.display = geometry;
        options.server.advertise = false;
        coordinator_ = HostCoordinator::create(store_,
                                               std::make_shared<EventInjector>(
                                                   sink, GestureMapper::defaultMapper(), defaults),
                                               false,
                                               nullptr, options);
        TerminalConsole::Hooks hooks;
        hooks.print = [this](std::string_view text) { out_ += text; };
        hooks.permission = [this] { return permission_; };
        hooks.quit = [this] { ++quits_; };
        hooks.permissionPoll = 20ms;
        console_ = std::make_shared<TerminalConsole>(coordinator_, std::move(hooks));
    }
    void TearDown() override {
        console_.reset();
        coordinator_->stop();
    }
    std::string take() {
        auto text = std::move(out_);
        out_.clear();
        return text;
    }

    std::shared_ptr<platform::IoContextMainQueue> main_;
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
    console_->execute("cancel");
    EXPECT_EQ(take(), "配对窗口已关闭\n");

    console_->execute("disconnect 7");
    EXPECT_EQ(take(), "没有这个设备：7\n");
    console_->execute("unpair aaaa-1");
    EXPECT_EQ(take(), "尚未配对任何设备\n");
    EXPECT_TRUE(store_->allDevices().empty());

    console_->execute("telemetry off");
    EXPECT_EQ(take(), "上报匿名使用数据：关\n");
    EXPECT_FALSE(Telemetry::isEnabled());
    console_->execute("telemetry on");
    EXPECT_TRUE(Telemetry::isEnabled());
    take();

    console_->execute("frobnicate");
    EXPECT_EQ(take().rfind("未知命令：frobnicate\n命令：", 0), 0u);
    console_->execute("quit");
    EXPECT_EQ(quits_, 1);
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
