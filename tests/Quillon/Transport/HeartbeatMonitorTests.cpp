// test-labels: pairing
#include "Quillon/Transport/HeartbeatMonitor.hpp"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using Ids = std::vector<std::string>;
constexpr double T = 1765360000.5;

TEST(HeartbeatMonitor, EmptyMonitorReportsNobody) {
    HeartbeatMonitor monitor;
    EXPECT_EQ(monitor.timedOut(T), Ids{});
    EXPECT_EQ(monitor.prune(T), Ids{});
}

// Silence must be strictly longer than three seconds.
TEST(HeartbeatMonitor, SilenceLimitBoundary) {
    struct Case {
        double elapsed;
        bool timedOut;
    };
    for (const Case c : {Case{-5.0, false}, Case{0.0, false}, Case{2.999, false}, Case{3.0, false},
                         Case{3.001, true}, Case{60.0, true}}) {
        SCOPED_TRACE(c.elapsed);
        HeartbeatMonitor monitor;
        monitor.record("A", T);
        EXPECT_EQ(monitor.timedOut(T + c.elapsed), c.timedOut ? Ids{"A"} : Ids{});
    }
}

TEST(HeartbeatMonitor, ReportsInAscendingOrderWhateverTheRecordingOrder) {
    HeartbeatMonitor monitor;
    monitor.record("b", T);
    monitor.record("a", T + 1);
    monitor.record("c", T - 1);
    monitor.record("fresh", T + 10);
    EXPECT_EQ(monitor.timedOut(T + 10), (Ids{"a", "b", "c"}));
    EXPECT_EQ(monitor.timedOut(T + 10), (Ids{"a", "b", "c"})) << "timedOut changes nothing";
    EXPECT_EQ(monitor.prune(T + 10), (Ids{"a", "b", "c"}));
    EXPECT_EQ(monitor.timedOut(T + 10), Ids{});
    // Only the listed entries were removed.
    EXPECT_EQ(monitor.timedOut(T + 20), Ids{"fresh"});
}

TEST(HeartbeatMonitor, RecordReplacesEvenWithAnOlderTimeAndForgetRemoves) {
    HeartbeatMonitor monitor;
    monitor.record("A", T + 10);
    monitor.record("A", T);
    EXPECT_EQ(monitor.timedOut(T + 5), Ids{"A"});

    monitor.forget("unknown");
    EXPECT_EQ(monitor.timedOut(T + 5), Ids{"A"});
    monitor.forget("A");
    EXPECT_EQ(monitor.timedOut(T + 100), Ids{});
}

} // namespace
} // namespace quillon
