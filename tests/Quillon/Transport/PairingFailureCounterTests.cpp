// test-labels: pairing;transport
#include "Quillon/Transport/PairingFailureCounter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

using Verdict = PairingFailureCounter::Verdict;

// Sequences of failures by source, with the verdict of each.
TEST(PairingFailureCounter, Sequences) {
    struct Step {
        const char* source;
        Verdict verdict;
    };
    struct Case {
        const char* name;
        PairingFailureCounter::Limits limits;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"one neighbour shuts itself out, not the window",
         {3, 10},
         {{"n", Verdict::counted},
          {"n", Verdict::counted},
          {"n", Verdict::sourceShutOut},
          {"n", Verdict::sourceShutOut},
          {"n", Verdict::sourceShutOut},
          {"user", Verdict::counted}}},
        {"the window's total still closes it",
         {3, 5},
         {{"a", Verdict::counted},
          {"b", Verdict::counted},
          {"c", Verdict::counted},
          {"a", Verdict::counted},
          {"d", Verdict::windowClosed}}},
        {"a shut-out source adds nothing to the total",
         {1, 3},
         {{"a", Verdict::sourceShutOut},
          {"a", Verdict::sourceShutOut},
          {"a", Verdict::sourceShutOut},
          {"b", Verdict::sourceShutOut},
          {"c", Verdict::windowClosed}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PairingFailureCounter counter(c.limits);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            EXPECT_EQ(counter.recordFailure(c.steps[i].source), c.steps[i].verdict) << "step " << i;
        }
    }
}

TEST(PairingFailureCounter, ShutOutAndResetAtTheNextWindow) {
    PairingFailureCounter counter({2, 10});
    counter.recordFailure("n");
    EXPECT_FALSE(counter.isShutOut("n"));
    counter.recordFailure("n");
    EXPECT_TRUE(counter.isShutOut("n"));
    EXPECT_FALSE(counter.isShutOut("user"));
    EXPECT_EQ(counter.total(), 2U);
    counter.reset();
    EXPECT_FALSE(counter.isShutOut("n"));
    EXPECT_EQ(counter.total(), 0U);
    EXPECT_EQ(counter.recordFailure("n"), Verdict::counted);
}

} // namespace
} // namespace quillon
