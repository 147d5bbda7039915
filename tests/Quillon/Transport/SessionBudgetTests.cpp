// test-labels: transport
#include "Quillon/Transport/SessionBudget.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quillon {
namespace {

using Keys = std::vector<SessionBudget::Key>;

TEST(SessionBudget, ADeviceBeyondItsShareLosesItsOldestSessions) {
    SessionBudget budget({2, 0, 1000});
    EXPECT_EQ(budget.admit(1, "A"), Keys{});
    EXPECT_EQ(budget.admit(2, "B"), Keys{});
    EXPECT_EQ(budget.admit(3, "A"), Keys{});
    EXPECT_EQ(budget.admit(4, "A"), Keys{1});
    EXPECT_EQ(budget.admit(5, "A"), Keys{3});
    EXPECT_EQ(budget.sessionsOf("A"), 2U);
    EXPECT_EQ(budget.sessionsOf("B"), 1U);
    budget.remove(4);
    EXPECT_EQ(budget.admit(6, "A"), Keys{});
}

// Sequences of (session, bytes held) with the sessions each call closes.
TEST(SessionBudget, BufferedFramesStayWithinTheBudget) {
    struct Step {
        SessionBudget::Key session;
        std::size_t bytes;
        Keys closed;
        std::size_t excessAfter;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    // Allowance 10 per session, budget 100 beyond the allowances; sessions 1..4 admitted in
    // that order.
    const std::vector<Case> cases = {
        {"allowances are free", {{1, 10, {}, 0}, {2, 10, {}, 0}, {3, 5, {}, 0}}},
        {"within the budget", {{1, 60, {}, 50}, {2, 60, {}, 100}}},
        {"crossing it closes the largest holder",
         {{1, 40, {}, 30}, {2, 80, {}, 100}, {3, 20, {2}, 40}}},
        {"a session that grows itself over the budget is the one closed",
         {{1, 50, {}, 40}, {2, 200, {2}, 40}}},
        {"equal holders: the most recently admitted goes",
         {{1, 60, {}, 50}, {2, 60, {}, 100}, {3, 11, {2}, 51}}},
        {"a frame completed gives its bytes back",
         {{1, 90, {}, 80}, {1, 0, {}, 0}, {2, 110, {}, 100}}},
        {"unknown sessions are not counted", {{9, 500, {}, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionBudget budget({4, 10, 100});
        for (SessionBudget::Key k = 1; k <= 4; ++k) {
            budget.admit(k, "D" + std::to_string(k));
        }
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto& s = c.steps[i];
            EXPECT_EQ(budget.buffered(s.session, s.bytes), s.closed) << "step " << i;
            EXPECT_EQ(budget.bufferedBeyondAllowance(), s.excessAfter) << "step " << i;
        }
    }
}

TEST(SessionBudget, RemovedSessionsReturnTheirBytes) {
    SessionBudget budget({4, 0, 100});
    budget.admit(1, "A");
    budget.admit(2, "A");
    budget.buffered(1, 70);
    budget.remove(1);
    EXPECT_EQ(budget.bufferedBeyondAllowance(), 0U);
    EXPECT_EQ(budget.buffered(2, 100), Keys{});
    EXPECT_EQ(budget.sessionsOf("A"), 1U);
}

} // namespace
} // namespace quillon
