// test-labels: coordinator;concurrency
// test-language: zh_CN
#include "Quillon/Host/InputDiagnostics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace quillon;
using namespace quillon::wire;
using namespace std::chrono_literals;

namespace {

struct Harness {
    std::mutex mutex;
    std::vector<std::string> lines;
    bool verbose = true;
    std::chrono::nanoseconds now{0};
    InputDiagnostics diag{[this](std::string_view line) {
                              std::lock_guard lock(mutex);
                              lines.emplace_back(line);
                          },
                          [this] { return verbose; }, [this] { return now; }};
};

TEST(InputDiagnosticsTest, VerboseOffWritesNothingAndCountsNothing) {
    Harness h;
    h.verbose = false;
    for (int i = 0; i < 60; ++i) {
        h.diag.logIncoming(cm::PointerAbsolute{1, 2, 0});
    }
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::began});
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::changed});
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::ended});
    h.diag.logIncoming(cm::SetMode{OperatingMode::inputDevice});
    EXPECT_TRUE(h.lines.empty());
    EXPECT_EQ(h.diag.pointerMessageCount(), 0u);
}

TEST(InputDiagnosticsTest, EveryThirtiethPointerMessageWritesOneLine) {
    Harness h;
    for (int i = 0; i < 29; ++i) {
        if (i % 2 == 0) {
            h.diag.logIncoming(cm::PointerAbsolute{float(i), 0, 0});
        } else {
            h.diag.logIncoming(cm::PointerRelative{1, 1});
        }
    }
    EXPECT_TRUE(h.lines.empty());
    h.diag.logIncoming(cm::PointerRelative{1.5f, -2});
    for (int i = 0; i < 29; ++i) {
        h.diag.logIncoming(cm::PointerRelative{0, 0});
    }
    h.diag.logIncoming(cm::PointerAbsolute{512, 384, 0});
    EXPECT_EQ(h.lines, (std::vector<std::string>{"相对移动 x30 最新 dx=1.5 dy=-2.0",
                                                 "绝对定位 x60 最新 x=512.0 y=384.0 hoverZ=0.0"}));
}

TEST(InputDiagnosticsTest, ScrollSeriesSummaries) {
    Harness h;
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::ended}); // no series began
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::began});
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::ended}); // no frames
    EXPECT_TRUE(h.lines.empty());

    h.now = 1s;
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::began});
    for (int i = 0; i < 4; ++i) {
        h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::changed});
    }
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::momentum});
    h.now = 1s + 83ms;
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::ended});
    ASSERT_EQ(h.lines, (std::vector<std::string>{"滚动序列结束：5 帧 / 0.083s = 60Hz"}));

    // The series start is cleared, the frame count is not: a second ended says nothing.
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::ended});
    // A zero-length series is rated against 1 ms.
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::began});
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::changed});
    h.diag.logIncoming(cm::Scroll{0, 1, ScrollPhase::ended});
    EXPECT_EQ(h.lines.back(), "滚动序列结束：1 帧 / 0.000s = 1000Hz");
    EXPECT_EQ(h.lines.size(), 2u);
}

TEST(InputDiagnosticsTest, OtherMessagesAreLoggedWithTheirValues) {
    Harness h;
    const ControlMessage m = cm::MultiClick{MouseButton::right, 2};
    h.diag.logIncoming(m);
    ASSERT_EQ(h.lines.size(), 1u);
    EXPECT_EQ(h.lines[0], "收到 " + m.description());
    EXPECT_NE(h.lines[0].find("multiClick"), std::string::npos);
}

TEST(InputDiagnosticsTest, StatisticsLineEveryTwoHundredInjections) {
    Harness h;
    for (int i = 0; i < 400; ++i) {
        h.diag.recordInjection(i < 200 ? 10us : 30us);
    }
    EXPECT_EQ(h.lines, (std::vector<std::string>{"注入耗时统计：200 次，平均 10 μs（0.010 ms）",
                                                 "注入耗时统计：400 次，平均 20 μs（0.020 ms）"}));
    h.lines.clear();
    bool ran = false;
    h.diag.timeInjection([&] {
        ran = true;
        h.now += 5us;
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(h.diag.injectionCount(), 401u);
}

TEST(InputDiagnosticsTest, ConcurrentInjectionsLoseNothingAndWriteEachLineOnce) {
    Harness h;
    h.verbose = true;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1500; ++i) {
                h.diag.recordInjection(1us);
                h.diag.logIncoming(cm::PointerRelative{1, 1});
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(h.diag.injectionCount(), 6000u);
    EXPECT_EQ(h.diag.pointerMessageCount(), 6000u);
    std::size_t stats = 0;
    std::size_t pointer = 0;
    for (const auto& line : h.lines) {
        stats += line.rfind("注入耗时统计：", 0) == 0;
        pointer += line.rfind("相对移动 x", 0) == 0;
    }
    EXPECT_EQ(stats, 30u);    // 6000 / 200
    EXPECT_EQ(pointer, 200u); // 6000 / 30
    EXPECT_NE(
        std::find(h.lines.begin(), h.lines.end(), "注入耗时统计：6000 次，平均 1 μs（0.001 ms）"),
        h.lines.end());
}

TEST(InputDiagnosticsTest, FloatsInShortestForm) {
    const std::vector<std::pair<float, std::string>> cases = {
        {512.0f, "512.0"},
        {0.0f, "0.0"},
        {0.1f, "0.1"},
        {-3.25f, "-3.25"},
        {1e-5f, "1e-05"},
        {1.5e-3f, "0.0015"},
        {16777216.0f, "1.6777216e+07"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(diagnostics::formatFloat(value), text);
    }
}

TEST(InputDiagnosticsTest, ProbeTexts) {
    EXPECT_EQ(diagnostics::gestureProbeLine(TrackpadGesture::smartZoom),
              "gestureProbe 发送 smartZoom");
    EXPECT_EQ(diagnostics::scrollProbeStartLine(true), "scrollProbe 开始 fast=true");
    EXPECT_EQ(diagnostics::scrollProbeEndLine(false, 0, 0),
              "scrollProbe 结束 fast=false 输入60点 峰值增益=0.0 期望≈0px 实发=0px 达成率=0%");
    EXPECT_EQ(diagnostics::scrollProbeEndLine(true, 2.5, 120.7),
              "scrollProbe 结束 fast=true 输入60点 峰值增益=2.5 期望≈150px 实发=120px 达成率=80%");
    EXPECT_EQ(diagnostics::launchProbeGesture(std::string("smartZoom")),
              TrackpadGesture::smartZoom);
    EXPECT_EQ(diagnostics::launchProbeGesture(std::string("SmartZoom")), std::nullopt);
    EXPECT_EQ(diagnostics::launchProbeGesture(std::nullopt), std::nullopt);
}

} // namespace
