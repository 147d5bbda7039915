// test-labels: coordinator
#include "Quillon/Host/InputLanes.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace quillon {
namespace {

using Where = InputLanes::Where;

// Executors that only collect work; the test runs it when it chooses, as the main thread and
// the worker would.
struct Harness {
    std::deque<std::function<void()>> main, worker;
    std::vector<std::string> log;
    std::shared_ptr<InputLanes> lanes;

    explicit Harness(std::size_t maxCost = 1000) {
        lanes = InputLanes::create({[this](auto w) { main.push_back(std::move(w)); },
                                    [this](auto w) { worker.push_back(std::move(w)); }},
                                   maxCost);
    }
    InputLanes::Step step(Where where, std::string name, std::size_t cost = 0) {
        return {where,
                [this, name] {
                    log.push_back(name);
                    return true;
                },
                cost};
    }
    // A step that needs `pieces` turns.
    InputLanes::Step pieces(std::string name, int pieces, std::size_t cost = 0) {
        auto left = std::make_shared<int>(pieces);
        return {Where::worker,
                [this, name, left] {
                    log.push_back(name + std::to_string(*left));
                    return --*left == 0;
                },
                cost};
    }
    static bool runOne(std::deque<std::function<void()>>& q) {
        if (q.empty()) {
            return false;
        }
        auto w = std::move(q.front());
        q.pop_front();
        w();
        return true;
    }
    void runAll() {
        while (runOne(main) || runOne(worker)) {
        }
    }
};

TEST(InputLanes, AMainThreadStepHoldsBackWhatTheDeviceSentAfterIt) {
    Harness h;
    h.lanes->submit("A", h.step(Where::anywhere, "move1"));
    h.lanes->submit("A", h.step(Where::main, "click"));
    h.lanes->submit("A", h.step(Where::anywhere, "move2"));
    h.lanes->submit("B", h.step(Where::anywhere, "otherDevice"));
    EXPECT_EQ(h.log, (std::vector<std::string>{"move1", "otherDevice"}));
    h.runAll();
    EXPECT_EQ(h.log, (std::vector<std::string>{"move1", "otherDevice", "click", "move2"}));
    EXPECT_TRUE(h.worker.empty());
    // Idle again: the next move runs at once on the submitter.
    h.lanes->submit("A", h.step(Where::anywhere, "move3"));
    EXPECT_EQ(h.log.back(), "move3");
    EXPECT_TRUE(h.main.empty());
}

TEST(InputLanes, LongWorkTakesTurnsAndLeavesOtherDevicesFree) {
    Harness h;
    h.lanes->submit("A", h.pieces("a", 3));
    h.lanes->submit("B", h.pieces("b", 2));
    h.lanes->submit("A", h.step(Where::anywhere, "aMove"));
    h.lanes->submit("C", h.step(Where::anywhere, "cMove")); // not held back by A or B
    EXPECT_EQ(h.log, (std::vector<std::string>{"cMove"}));
    h.runAll();
    EXPECT_EQ(h.log, (std::vector<std::string>{"cMove", "a3", "b2", "a2", "b1", "a1", "aMove"}));
}

TEST(InputLanes, CostIsCappedPerLaneAndComesBackAsWorkIsDone) {
    Harness h(100);
    EXPECT_TRUE(h.lanes->submit("A", h.pieces("x", 1, 80)));
    EXPECT_FALSE(h.lanes->submit("A", h.pieces("y", 1, 30)));
    EXPECT_TRUE(h.lanes->submit("B", h.pieces("z", 1, 30))); // another lane
    EXPECT_TRUE(h.lanes->submit("A", h.pieces("w", 1, 20)));
    EXPECT_EQ(h.lanes->pendingCost("A"), 100u);
    h.runAll();
    EXPECT_EQ(h.lanes->pendingCost("A"), 0u);
    EXPECT_TRUE(h.lanes->submit("A", h.pieces("y", 1, 100)));
    // One step larger than the cap is taken into an empty lane.
    Harness big(10);
    EXPECT_TRUE(big.lanes->submit("A", big.pieces("huge", 1, 500)));
}

TEST(InputLanes, ClearDropsWaitingWorkButNotWhatIsSubmittedWhileAStepRuns) {
    Harness h;
    h.lanes->submit("A", h.pieces("text", 5));
    h.lanes->submit("A", h.step(Where::anywhere, "after"));
    Harness::runOne(h.worker); // one piece
    h.lanes->clear("A");
    h.runAll();
    EXPECT_EQ(h.log, (std::vector<std::string>{"text5"}));

    // A step that clears its lane and submits anew while running: the new step is not popped
    // in its place.
    h.log.clear();
    h.lanes->submit("A", {Where::anywhere,
                          [&] {
                              h.log.push_back("first");
                              h.lanes->clear("A");
                              h.lanes->submit("A", h.step(Where::anywhere, "second"));
                              return true;
                          },
                          0});
    h.runAll();
    EXPECT_EQ(h.log, (std::vector<std::string>{"first", "second"}));
    h.lanes->clearAll();
    EXPECT_EQ(h.lanes->pendingCost("A"), 0u);
}

} // namespace
} // namespace quillon
